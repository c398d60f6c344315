/* A plain C caller of the library, linked against its import library. On x86 it references
 * the functions by their stdcall symbols (name@bytes), which the import library must map to
 * the DLL's undecorated exports. */
#include <kepra/kepra.h>

int main(void) {
  KEPRA_HANDLE h = kepra_OpenDevice(0);
  uint16_t value = 0;
  uint8_t frame[16];
  if (h == KEPRA_INVALID_HANDLE) return 1;
  kepra_ReadSensorReg(h, 0x0E, &value);
  kepra_GetFrameAfterEx8(h, frame, sizeof frame, 0);
  Conv16to8_inst[0] = 0;
  kepra_SetLastError(kepra_GetLastError());
  return (int)kepra_CloseDevice(h) - 1;
}
