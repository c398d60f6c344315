// The DLL's entry point. Loading does no work beyond turning off thread notifications: the
// library keeps no per-thread state (its stream threads need none either).
#include "platform/win32.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}
