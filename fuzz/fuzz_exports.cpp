// Random calls of the exports against a virtual camera, driven by the exports' table
// (tests/api/exports.h): random handles (the open one, INVALID_HANDLE_VALUE, null, a closed
// one), null pointers, values and lengths. Buffers passed
// are never smaller than an export's documented size; only lengths that the exports check
// themselves vary freely, so that a crash is the library's and not this harness's.
//
// The camera is served by direct call (the rig's loopback transport), so that a run does
// millions of calls rather than thousands.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "exports.h"
#include "kepra/kepra.h"
#include "loopback.h"

namespace {

constexpr std::uint32_t kBufferSize = 1u << 16;
alignas(8) std::uint8_t g_buffer[kBufferSize];
std::uint32_t g_index = 31;
KEPRA_HANDLE g_open = KEPRA_INVALID_HANDLE;
KEPRA_HANDLE g_stale = KEPRA_INVALID_HANDLE;
std::shared_ptr<vcam::Camera> g_camera;

void Setup() {
  if (const char* value = std::getenv("KEPRA_TEST_INDEX")) g_index = std::atoi(value) % 33;
  char dir[] = "/tmp/kepra-fuzz-XXXXXX";
  if (!mkdtemp(dir)) std::abort();
  setenv("KEPRA_DEVICE_DIR", dir, 1);
  kepra::driver::Use(&rig::loopback::Transport());
  g_camera = std::make_shared<vcam::Camera>(g_index);
  rig::loopback::Attach(g_camera);
  g_stale = kepra_OpenDevice(g_index);
  kepra_CloseDevice(g_stale);
  g_open = kepra_OpenDevice(g_index);
  if (g_open == KEPRA_INVALID_HANDLE) std::abort();
}

KEPRA_HANDLE PickHandle(FuzzedDataProvider& in, bool valid_allowed = true) {
  const KEPRA_HANDLE choices[] = {valid_allowed ? g_open : KEPRA_INVALID_HANDLE,
                                  KEPRA_INVALID_HANDLE, nullptr, g_stale};
  return choices[in.ConsumeIntegralInRange<int>(0, 3)];
}

// A pointer to at least `size` bytes of the shared buffer, or null.
template <typename T = void>
T* Ptr(FuzzedDataProvider& in, std::size_t size = sizeof(std::uint64_t)) {
  if (in.ConsumeIntegralInRange<int>(0, 7) == 0) return nullptr;
  const std::size_t offset = in.ConsumeIntegralInRange<std::size_t>(0, 16) * 8;
  if (offset + size > kBufferSize) return reinterpret_cast<T*>(g_buffer);
  return reinterpret_cast<T*>(g_buffer + offset);
}

double Value(FuzzedDataProvider& in) {
  const int kind = in.ConsumeIntegralInRange<int>(0, 3);
  if (kind == 0) return in.ConsumeFloatingPoint<double>();
  if (kind == 1) return in.ConsumeFloatingPointInRange<double>(-10.0, 200.0);
  if (kind == 2) return static_cast<double>(in.ConsumeIntegral<std::int32_t>());
  return in.ConsumeProbability<double>() * 1000.0;
}

// Lengths the exports check themselves (frames, flash ranges), at most the buffer: mostly
// around the frame-information record, rarely the whole buffer (the camera renders what fits).
std::uint32_t RandomLength(FuzzedDataProvider& in) {
  const int kind = in.ConsumeIntegralInRange<int>(0, 7);
  return in.ConsumeIntegralInRange<std::uint32_t>(0, kind == 0  ? kBufferSize
                                                     : kind < 4 ? 64
                                                                : 8192);
}

// The table's arguments drawn at random: any handle, null or shared-buffer pointers, the
// row's value, a random one or one near it.
class FuzzArgs : public kx::Args {
 public:
  FuzzArgs(FuzzedDataProvider& in, bool valid_allowed) : in_(in), valid_(valid_allowed) {}
  KEPRA_HANDLE Handle(KEPRA_HANDLE) override { return PickHandle(in_, valid_); }
  void* Pointer(int, void*, std::size_t size) override { return Ptr(in_, size); }
  void* Record(int, void*, std::size_t size) override {
    auto* p = static_cast<std::uint8_t*>(Ptr(in_, size));
    if (p && size > 0) {
      in_.ConsumeData(p, size - 1);
      p[size - 1] = 0;  // a path stays a string
    }
    return p;
  }
  void* Ref(int, void* good) override {
    return in_.ConsumeIntegralInRange<int>(0, 7) == 0 ? nullptr : good;
  }
  std::uint64_t Int(int, std::uint64_t good) override {
    const int kind = in_.ConsumeIntegralInRange<int>(0, 3);
    if (kind == 0) return good;
    if (kind == 1) return in_.ConsumeIntegral<std::uint32_t>();
    return good + in_.ConsumeIntegralInRange<std::int32_t>(-300, 300);
  }
  std::uint32_t Length(int, std::uint32_t) override { return RandomLength(in_); }
  double Real(int, double good) override { return in_.ConsumeBool() ? good : Value(in_); }

 private:
  FuzzedDataProvider& in_;
  bool valid_;
};

void CallOne(FuzzedDataProvider& in) {
  const auto& rows = kx::Rows();
  const std::size_t which = in.ConsumeIntegralInRange<std::size_t>(0, rows.size() + 3);
  // In snapshot mode a frame waits for a trigger, without limit when the timeout is 0: the
  // harness is the trigger source, or a frame call would wait for ever.
  g_camera->Trigger();
  if (which < rows.size()) {
    // The setters that pause under the lock only get handles they refuse, to keep runs fast.
    FuzzArgs args(in, !rows[which].pauses);
    args.good_handle = g_open;
    rows[which].call(args);
    return;
  }
  // The exports without a camera handle.
  switch (which - rows.size()) {
    case 0:
      kepra_GetFrameExposureMs(Ptr<const kepra_FrameInfo>(in, sizeof(kepra_FrameInfo)));
      break;
    case 1:
      kepra_CheckEventsState(Ptr<const void>(in, 4096), in.ConsumeIntegral<std::uint8_t>(),
                             in.ConsumeIntegral<std::uint8_t>());
      break;
    case 2:
      kepra_CloseDevice(KEPRA_INVALID_HANDLE);
      break;
    default: {
      // Open an index (valid or not) and close what it gave.
      KEPRA_HANDLE opened =
          kepra_OpenDevice(in.ConsumeBool() ? g_index : in.ConsumeIntegral<std::uint32_t>());
      if (opened != KEPRA_INVALID_HANDLE) kepra_CloseDevice(opened);
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool ready = (Setup(), true);
  (void)ready;
  FuzzedDataProvider in(data, size);
  for (int calls = 0; calls < 8 && in.remaining_bytes() > 0; ++calls) CallOne(in);
  return 0;
}
