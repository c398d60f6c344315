#include <cstdarg>
#include <cstdio>

#include "device/device.h"

namespace kepra::device {

void CxDebugPrint(const char* format, ...) {
  char line[2048];
  va_list args;
  va_start(args, format);
  // Bounded formatting: a line longer than the buffer is cut rather than overrun it.
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  OutputDebugStringA(line);
}

}  // namespace kepra::device
