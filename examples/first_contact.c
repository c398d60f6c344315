/*
 * First contact with a kepra camera: open camera 0, grab 16-bit and 8-bit frames into our own
 * buffers, use the camera from two handles (they share one device lock), close it.
 *
 *   first_contact [device-index]
 */
#include <kepra/kepra.h>
#include <stdio.h>
#include <stdlib.h>

#define WIDTH 1280u
#define HEIGHT 1024u

static int check(uint32_t ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "%s failed, last error %lu\n", what, (unsigned long)kepra_GetLastError());
    return 0;
  }
  return 1;
}

static double mean16(const uint16_t* p, size_t n) {
  double sum = 0;
  size_t i;
  for (i = 0; i < n; ++i) sum += p[i];
  return n ? sum / (double)n : 0.0;
}

static double mean8(const uint8_t* p, size_t n) {
  double sum = 0;
  size_t i;
  for (i = 0; i < n; ++i) sum += p[i];
  return n ? sum / (double)n : 0.0;
}

int main(int argc, char** argv) {
  const uint32_t index = argc > 1 ? (uint32_t)strtoul(argv[1], NULL, 10) : 0;
  const size_t pixels = (size_t)WIDTH * HEIGHT;
  uint16_t* frame16 = malloc(pixels * sizeof *frame16);
  uint8_t* frame8 = malloc(pixels);
  KEPRA_HANDLE camera, second;
  uint16_t value = 0;
  int ok = 1;

  if (!frame16 || !frame8) return 1;
  camera = kepra_OpenDevice(index);
  if (camera == KEPRA_INVALID_HANDLE) {
    fprintf(stderr, "no camera at index %u (last error %lu); is kepra-virtcam running?\n", index,
            (unsigned long)kepra_GetLastError());
    return 1;
  }
  printf("opened camera %u\n", index);

  /* Frames go straight from the driver into our buffers; no lock is needed for them. */
  ok &= check(kepra_GetFrame16(camera, frame16, (uint32_t)(pixels * 2)), "kepra_GetFrame16");
  if (ok) printf("16-bit frame %ux%u, mean sample %.1f\n", WIDTH, HEIGHT, mean16(frame16, pixels));
  ok &= check(kepra_GetFrameEx16(camera, frame16, (uint32_t)(pixels * 2)), "kepra_GetFrameEx16");
  ok &= check(kepra_GetFrameAfterEx16(camera, frame16, (uint32_t)(pixels * 2), 0),
              "kepra_GetFrameAfterEx16");
  ok &= check(kepra_GetFrame8(camera, frame8, (uint32_t)pixels), "kepra_GetFrame8");
  if (ok) printf("8-bit frame %ux%u, mean sample %.1f\n", WIDTH, HEIGHT, mean8(frame8, pixels));
  ok &= check(kepra_GetFrameEx8(camera, frame8, (uint32_t)pixels), "kepra_GetFrameEx8");
  ok &=
      check(kepra_GetFrameAfterEx8(camera, frame8, (uint32_t)pixels, 0), "kepra_GetFrameAfterEx8");
  if (ok) printf("plain, Ex and AfterEx frames at both depths: ok\n");

  /* A second handle of the same camera shares its device lock: a register written under the
   * lock through one handle reads back through the other. Register 0x0E is the exposure, so
   * its value is put back afterwards: the camera is left as it was found. */
  second = kepra_OpenDevice(index);
  if (check(second != KEPRA_INVALID_HANDLE, "second kepra_OpenDevice")) {
    uint16_t original = 0;
    if (check(kepra_ReadSensorReg(camera, 0x0E, &original), "kepra_ReadSensorReg")) {
      ok &= check(kepra_WriteSensorReg(camera, 0x0E, 480), "kepra_WriteSensorReg");
      ok &= check(kepra_ReadSensorReg(second, 0x0E, &value), "kepra_ReadSensorReg");
      if (ok)
        printf("register 0x0E written through one handle, read through the other: %u\n", value);
      ok &= check(kepra_WriteSensorReg(camera, 0x0E, original), "kepra_WriteSensorReg (restore)");
    } else {
      ok = 0;
    }
    kepra_CloseDevice(second);
  } else {
    ok = 0;
  }

  ok &= check(kepra_CloseDevice(camera), "kepra_CloseDevice");
  printf("closed camera %u\n", index);
  free(frame16);
  free(frame8);
  return ok ? 0 : 1;
}
