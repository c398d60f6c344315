/* The C side of bench_grab.py: frames per second of a loop that grabs into one preallocated
 * buffer, sized once from the frame parameters (kepra_GetFrame16/8), or with "stream" of a
 * stream (8 buffers, oldest-first, with records) taken with kepra_NextFrame, each frame
 * copied into one application buffer before its pool buffer goes back, as the Python package
 * does.
 *   grab_loop INDEX FRAMES DEPTH [stream]     prints the frames per second */
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

static int Fail(const char* what) {
  fprintf(stderr, "%s failed: %u\n", what, kepra_GetLastError());
  return 1;
}

/* One frame untimed on both paths, as the Python side does: buffers and connection warm. */
static int GrabLoop(KEPRA_HANDLE h, long frames, int depth, double* seconds) {
  kepra_FrameParams params;
  if (!kepra_GetFrameParams(h, &params)) return Fail("kepra_GetFrameParams");
  const uint32_t length = (uint32_t)(params.Width / params.BinX) *
                          (uint32_t)(params.Height / params.BinY) * (depth == 16 ? 2u : 1u);
  void* buffer = malloc(length);
  if (!buffer) return 1;
  double start = 0.0;
  for (long i = -1; i < frames; ++i) {
    if (i == 0) start = Now();
    const uint32_t ok =
        depth == 16 ? kepra_GetFrame16(h, buffer, length) : kepra_GetFrame8(h, buffer, length);
    if (!ok) return Fail("grab");
  }
  *seconds = Now() - start;
  free(buffer);
  return 0;
}

static int StreamLoop(KEPRA_HANDLE h, long frames, int depth, double* seconds) {
  kepra_StreamConfig config;
  memset(&config, 0, sizeof config);
  config.Size = sizeof config;
  config.Depth = (uint32_t)depth;
  config.BufferCount = 8;
  config.Strategy = KEPRA_STREAM_OLDEST_FIRST;
  config.WithInfo = 1;
  KEPRA_STREAM s = kepra_OpenStream(h, &config);
  if (!s || !kepra_StartStream(s)) return Fail("stream");
  void* copy = NULL;
  double start = 0.0;
  for (long i = -1; i < frames; ++i) {
    if (i == 0) start = Now();
    kepra_Frame frame;
    memset(&frame, 0, sizeof frame);
    frame.Size = sizeof frame;
    if (!kepra_NextFrame(s, &frame, KEPRA_INFINITE)) return Fail("kepra_NextFrame");
    if (!copy && !(copy = malloc(frame.Bytes))) return 1;
    memcpy(copy, frame.Samples, frame.Bytes);
    kepra_ReleaseFrame(s, &frame);
  }
  *seconds = Now() - start;
  kepra_CloseStream(s);
  free(copy);
  return 0;
}

int main(int argc, char** argv) {
  if (argc != 4 && !(argc == 5 && strcmp(argv[4], "stream") == 0)) {
    fprintf(stderr, "usage: grab_loop INDEX FRAMES DEPTH [stream]\n");
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
  double seconds = 0.0;
  const int failed =
      argc == 5 ? StreamLoop(h, frames, depth, &seconds) : GrabLoop(h, frames, depth, &seconds);
  kepra_CloseDevice(h);
  if (failed) return failed;
  printf("%.3f\n", (double)frames / seconds);
  return 0;
}
