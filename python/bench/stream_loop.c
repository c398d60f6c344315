/* The C side of bench_grab.py --stream: frames per second of a stream (8 buffers,
 * oldest-first, with records) taken with kepra_NextFrame, each frame copied into one
 * application buffer before its pool buffer goes back, as the Python package does.
 *   stream_loop INDEX FRAMES DEPTH     prints the frames per second */
#include <kepra/kepra.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static double Now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: stream_loop INDEX FRAMES DEPTH\n");
    return 2;
  }
  const uint32_t index = (uint32_t)strtoul(argv[1], NULL, 10);
  const long frames = strtol(argv[2], NULL, 10);
  const uint32_t depth = (uint32_t)atoi(argv[3]);
  KEPRA_HANDLE h = kepra_OpenDevice(index);
  if (h == KEPRA_INVALID_HANDLE) {
    fprintf(stderr, "no camera %u: %u\n", index, kepra_GetLastError());
    return 1;
  }
  kepra_StreamConfig config;
  memset(&config, 0, sizeof config);
  config.Size = sizeof config;
  config.Depth = depth;
  config.BufferCount = 8;
  config.Strategy = KEPRA_STREAM_OLDEST_FIRST;
  config.WithInfo = 1;
  KEPRA_STREAM s = kepra_OpenStream(h, &config);
  if (!s || !kepra_StartStream(s)) {
    fprintf(stderr, "stream failed: %u\n", kepra_GetLastError());
    return 1;
  }
  void* copy = NULL;
  double start = 0.0;
  /* One frame untimed, as the Python side does. */
  for (long i = -1; i < frames; ++i) {
    if (i == 0) start = Now();
    kepra_Frame frame;
    memset(&frame, 0, sizeof frame);
    frame.Size = sizeof frame;
    if (!kepra_NextFrame(s, &frame, KEPRA_INFINITE)) {
      fprintf(stderr, "next frame failed: %u\n", kepra_GetLastError());
      return 1;
    }
    if (!copy && !(copy = malloc(frame.Bytes))) return 1;
    memcpy(copy, frame.Samples, frame.Bytes);
    kepra_ReleaseFrame(s, &frame);
  }
  printf("%.3f\n", (double)frames / (Now() - start));
  kepra_CloseStream(s);
  free(copy);
  kepra_CloseDevice(h);
  return 0;
}
