// A second process for the lock tests: takes a camera's lock mutex ("vexol_NN") directly, as
// another application using the same camera would, and reports on its standard output.
//
//   kepra-test-lockholder INDEX hold        take it, print "locked", wait to be killed
//   kepra-test-lockholder INDEX hold-ms N   take it, print "locked", release after N ms, exit
//   kepra-test-lockholder INDEX exit        take it, print "locked", exit without releasing
//   kepra-test-lockholder INDEX thread      a thread takes it and ends; print "locked", wait
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/win32.h"

namespace {

HANDLE OpenLock(unsigned index) {
  char name[] = "vexol_00";
  name[6] = static_cast<char>('0' + index / 10);
  name[7] = static_cast<char>('0' + index % 10);
  return CreateMutexA(nullptr, FALSE, name);
}

void Say(const char* text) {
  std::printf("%s\n", text);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const unsigned index = static_cast<unsigned>(std::atoi(argv[1]));
  const char* mode = argv[2];
  HANDLE mutex = OpenLock(index);
  if (!mutex) return 3;
  if (std::strcmp(mode, "thread") == 0) {
    std::thread([mutex] { WaitForSingleObject(mutex, INFINITE); }).join();
    Say("locked");
    for (;;) Sleep(1000);
  }
  if (WaitForSingleObject(mutex, INFINITE) == WAIT_FAILED) return 4;
  Say("locked");
  if (std::strcmp(mode, "hold") == 0) {
    for (;;) Sleep(1000);
  }
  if (std::strcmp(mode, "hold-ms") == 0 && argc > 3) {
    Sleep(static_cast<DWORD>(std::atoi(argv[3])));
    ReleaseMutex(mutex);
    Say("released");
    return 0;
  }
  if (std::strcmp(mode, "exit") == 0) return 0;  // ends while owning it: abandoned
  return 2;
}
