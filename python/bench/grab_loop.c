/* The C side of bench_grab.py: frames per second of a kepra_GetFrame16/8 loop into one
 * preallocated buffer, sized once from the frame parameters.
 *   grab_loop INDEX FRAMES DEPTH     prints the frames per second */
#include <kepra/kepra.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static double Now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: grab_loop INDEX FRAMES DEPTH\n");
    return 2;
  }
  const uint32_t index = (uint32_t)strtoul(argv[1], NULL, 10);
  const long frames = strtol(argv[2], NULL, 10);
  const int depth = atoi(argv[3]);
  KEPRA_HANDLE h = kepra_OpenDevice(index);
  if (h == KEPRA_INVALID_HANDLE) {
    fprintf(stderr, "no camera %u: %u\n", index, kepra_GetLastError());
    return 1;
  }
  kepra_FrameParams params;
  if (!kepra_GetFrameParams(h, &params)) return 1;
  const uint32_t length = (uint32_t)(params.Width / params.BinX) *
                          (uint32_t)(params.Height / params.BinY) * (depth == 16 ? 2u : 1u);
  void* buffer = malloc(length);
  if (!buffer) return 1;
  double start = 0.0;
  /* One frame untimed, as the Python side does: the buffer's pages and the connection warm. */
  for (long i = -1; i < frames; ++i) {
    if (i == 0) start = Now();
    const uint32_t ok =
        depth == 16 ? kepra_GetFrame16(h, buffer, length) : kepra_GetFrame8(h, buffer, length);
    if (!ok) {
      fprintf(stderr, "grab failed: %u\n", kepra_GetLastError());
      return 1;
    }
  }
  printf("%.3f\n", (double)frames / (Now() - start));
  free(buffer);
  kepra_CloseDevice(h);
  return 0;
}
