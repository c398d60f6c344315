// Random calls of the exports against a virtual camera: random handles (the open one,
// INVALID_HANDLE_VALUE, null, a closed one), null pointers, values and lengths. Buffers passed
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
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      return valid_allowed ? g_open : KEPRA_INVALID_HANDLE;
    case 1:
      return KEPRA_INVALID_HANDLE;
    case 2:
      return nullptr;
    default:
      return g_stale;
  }
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
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      return in.ConsumeFloatingPoint<double>();
    case 1:
      return in.ConsumeFloatingPointInRange<double>(-10.0, 200.0);
    case 2:
      return static_cast<double>(in.ConsumeIntegral<std::int32_t>());
    default:
      return in.ConsumeProbability<double>() * 1000.0;
  }
}

// Lengths the exports check themselves (frames, flash ranges), at most the buffer: mostly
// around the frame-information record, rarely the whole buffer (the camera renders what fits).
std::uint32_t Length(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
      return in.ConsumeIntegralInRange<std::uint32_t>(0, kBufferSize);
    case 1:
    case 2:
    case 3:
      return in.ConsumeIntegralInRange<std::uint32_t>(0, 64);
    default:
      return in.ConsumeIntegralInRange<std::uint32_t>(0, 8192);
  }
}

void CallOne(FuzzedDataProvider& in) {
  const int which = in.ConsumeIntegralInRange<int>(0, 74);
  // In snapshot mode a frame waits for a trigger, without limit when the timeout is 0: the
  // harness is the trigger source, or a frame call would wait for ever.
  if (which <= 5) g_camera->Trigger();
  KEPRA_HANDLE h = PickHandle(in);
  auto u32 = [&] { return in.ConsumeIntegral<std::uint32_t>(); };
  auto u16 = [&] { return in.ConsumeIntegral<std::uint16_t>(); };
  auto u8 = [&] { return in.ConsumeIntegral<std::uint8_t>(); };
  switch (which) {
    case 0: {
      std::uint32_t n = Length(in);
      kepra_GetFrame16(h, Ptr(in, n), n);
      break;
    }
    case 1: {
      std::uint32_t n = Length(in);
      kepra_GetFrameEx16(h, Ptr(in, n), n);
      break;
    }
    case 2: {
      std::uint32_t n = Length(in);
      kepra_GetFrameAfterEx16(h, Ptr(in, n), n, u32());
      break;
    }
    case 3: {
      std::uint32_t n = Length(in);
      kepra_GetFrame8(h, Ptr(in, n), n);
      break;
    }
    case 4: {
      std::uint32_t n = Length(in);
      kepra_GetFrameEx8(h, Ptr(in, n), n);
      break;
    }
    case 5: {
      std::uint32_t n = Length(in);
      kepra_GetFrameAfterEx8(h, Ptr(in, n), n, u32());
      break;
    }
    case 6:
      kepra_ReadSensorReg(h, u32(), Ptr<std::uint16_t>(in));
      break;
    case 7:
      kepra_WriteSensorReg(h, u32(), u32());
      break;
    case 8:
      kepra_GetFrequency(h, Ptr<std::uint32_t>(in));
      break;
    case 9:
      kepra_SetFrequency(
          h, in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint32_t>(0, 120) : u32());
      break;
    case 10:
      kepra_GetFrequencyD(h, Ptr<double>(in));
      break;
    case 11:
      kepra_SetFrequencyD(h, Value(in));
      break;
    case 12:
      kepra_GetFrameTimeMinMax(h, Ptr<std::uint32_t>(in), Ptr<std::uint32_t>(in));
      break;
    case 13:
      kepra_GetFrameTime(h, Ptr<std::uint32_t>(in));
      break;
    case 14:
      kepra_SetFrameTime(h, u32());
      break;
    case 15:
      kepra_GetFrameRateMinMax(h, Ptr<double>(in), Ptr<double>(in));
      break;
    case 16:
      kepra_GetFrameRate(h, Ptr<double>(in));
      break;
    case 17:
      kepra_SetFrameRate(h, Value(in), Ptr<double>(in));
      break;
    case 18:
      kepra_SetMinFrameRate(h);
      break;
    case 19:
      kepra_SetMaxFrameRate(h);
      break;
    case 20:
      kepra_GetExposureMinMax(h, Ptr<std::uint32_t>(in), Ptr<std::uint32_t>(in));
      break;
    case 21:
      kepra_GetExposureFramerateMax(h, Ptr<std::uint32_t>(in));
      break;
    case 22:
      kepra_GetExposure(h, Ptr<std::uint32_t>(in));
      break;
    case 23:
      kepra_SetExposure(h, u32());
      break;
    case 24:
      kepra_GetExposureMinMaxMs(h, Ptr<double>(in), Ptr<double>(in));
      break;
    case 25:
      kepra_GetExposureFramerateMaxMs(h, Ptr<double>(in));
      break;
    case 26:
      kepra_GetExposureMs(h, Ptr<double>(in));
      break;
    // The two setters that pause under the lock (50 and 20 ms) only get handles they refuse,
    // to keep the run fast; their work is exercised by the unit-less setters below.
    case 27:
      kepra_SetExposureMs(PickHandle(in, false), Value(in), Ptr<double>(in));
      break;
    case 28:
      kepra_GetExposureTimeMinMax(h, Ptr<std::uint32_t>(in), Ptr<std::uint32_t>(in));
      break;
    case 29:
      kepra_GetExposureTimeFramerateMax(h, Ptr<std::uint32_t>(in));
      break;
    case 30:
      kepra_GetExposureTime(h, Ptr<std::uint32_t>(in));
      break;
    case 31:
      kepra_SetExposureTime(h, u32());
      break;
    case 32:
      kepra_GetFrameExposureMs(Ptr<const kepra_FrameInfo>(in, sizeof(kepra_FrameInfo)));
      break;
    case 33:
      kepra_GetGain(h, Ptr<double>(in), Ptr<double>(in));
      break;
    case 34:
      kepra_SetGain(PickHandle(in, false), Value(in), Value(in));
      break;
    case 35:
      kepra_GetGainC(h, Ptr<double>(in), Ptr<double>(in), Ptr<double>(in), Ptr<double>(in));
      break;
    case 36:
      kepra_SetGainC(h, Value(in), Value(in), Value(in), Value(in));
      break;
    case 37:
      kepra_GetReadoutMode(h, Ptr<std::uint32_t>(in));
      break;
    case 38:
      kepra_SetReadoutMode(h, u32());
      break;
    case 39:
      kepra_GetHDR(h, Ptr<std::uint8_t>(in));
      break;
    case 40:
      kepra_SetHDR(h, u8());
      break;
    case 41:
      kepra_GetSnapshotParams(h, Ptr<std::uint32_t>(in), Ptr<std::uint8_t>(in));
      break;
    case 42:
      kepra_SetSnapshotParams(h, u32(), u8());
      break;
    case 43:
      kepra_GetStrobeParams(h, Ptr<std::uint32_t>(in), Ptr<std::uint8_t>(in), Ptr<std::uint8_t>(in),
                            Ptr<std::uint8_t>(in));
      break;
    case 44:
      kepra_SetStrobeParams(h, in.ConsumeIntegralInRange<std::uint32_t>(0, 5), u8(), u8(), u8());
      break;
    case 45:
      kepra_GetEventsState(h, Ptr<std::uint8_t>(in));
      break;
    case 46:
      kepra_SetEventsState(h, u8(), u8());
      break;
    case 47:
      kepra_CheckEventsState(Ptr<const void>(in, 4096), u8(), u8());
      break;
    case 48:
      kepra_GetFrameParams(h, Ptr<kepra_FrameParams>(in, sizeof(kepra_FrameParams)));
      break;
    case 49: {
      kepra_FrameParams* p = Ptr<kepra_FrameParams>(in, sizeof(kepra_FrameParams));
      if (p) in.ConsumeData(p, sizeof *p);
      kepra_SetFrameParams(h, p);
      break;
    }
    case 50:
      kepra_GetStreamMode(h, Ptr<std::uint32_t>(in));
      break;
    case 51:
      kepra_SetStreamMode(h, u32());
      break;
    case 52:
      kepra_SwitchFrontLED(h, u8());
      break;
    case 53:
      kepra_GetFixBadPixels(h, Ptr<std::uint8_t>(in), Ptr<std::uint8_t>(in));
      break;
    case 54:
      kepra_SetFixBadPixels(h, u8(), Ptr<std::uint8_t>(in));
      break;
    case 55:
      kepra_GetMaxBadPixelCount(h, Ptr<std::uint16_t>(in));
      break;
    case 56:
      kepra_GetBadPixelCount(h, Ptr<std::uint16_t>(in));
      break;
    case 57: {
      const std::uint16_t n = in.ConsumeIntegralInRange<std::uint16_t>(0, 1000);
      kepra_GetBadPixelData(h, Ptr<kepra_BadPixel>(in, n * sizeof(kepra_BadPixel)), n,
                            Ptr<std::uint16_t>(in));
      break;
    }
    case 58: {
      const std::uint16_t n = in.ConsumeIntegralInRange<std::uint16_t>(0, 1000);
      kepra_BadPixel* p = Ptr<kepra_BadPixel>(in, n * sizeof(kepra_BadPixel));
      if (p) in.ConsumeData(p, n * sizeof(kepra_BadPixel));
      kepra_SetBadPixelData(h, p, n, Ptr<std::uint16_t>(in));
      break;
    }
    case 59:
      kepra_GetIdentData(h, Ptr<kepra_IdentData>(in, sizeof(kepra_IdentData)));
      break;
    case 60: {
      kepra_IdentData ident;
      std::memset(&ident, 0, sizeof ident);
      in.ConsumeData(&ident, sizeof ident);
      kepra_SetIdentData(h, ident);
      break;
    }
    case 61:
      kepra_GetCameraInfo(h, Ptr<kepra_CameraInfo>(in, sizeof(kepra_CameraInfo)));
      break;
    case 62:
      kepra_GetCameraInfoEx(h, Ptr<kepra_CameraInfoEx>(in, sizeof(kepra_CameraInfoEx)));
      break;
    case 63: {
      std::uint32_t n = Length(in);
      kepra_CheckId(h, Ptr(in, n), in.ConsumeBool() ? &n : nullptr);
      break;
    }
    case 64:
      kepra_GetVIDPID(h, Ptr<std::uint16_t>(in), Ptr<std::uint16_t>(in));
      break;
    case 65:
      kepra_SetVIDPID(h, u16(), u16());
      break;
    case 66:
      kepra_GetDriverVer(h, Ptr<std::uint8_t>(in), Ptr<std::uint8_t>(in), Ptr<std::uint16_t>(in),
                         Ptr<std::uint32_t>(in));
      break;
    case 67:
      kepra_GetUsbSpeed(h, Ptr<std::uint32_t>(in), Ptr<std::uint32_t>(in));
      break;
    case 68: {
      std::uint32_t n = Length(in);
      kepra_GetDrvLogMsg(h, Ptr<char>(in, n), n, Ptr<std::uint32_t>(in));
      break;
    }
    case 69:
      kepra_GetFWVersion(h, Ptr<std::uint16_t>(in), Ptr<std::uint16_t>(in), Ptr<std::uint16_t>(in),
                         Ptr<std::uint16_t>(in), Ptr<std::uint8_t>(in));
      break;
    case 70: {
      // Flash ranges: any address, lengths up to the buffer; writes only rarely (each rewrites
      // a 64 KiB sector) and only into the user area, so the camera keeps its firmware.
      const std::uint32_t n = in.ConsumeIntegralInRange<std::uint32_t>(0, 4096);
      const std::uint32_t a =
          in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint32_t>(0, 0x200100) : u32();
      if (in.ConsumeBool())
        kepra_ReadFlash(h, a, Ptr(in, n), n);
      else
        CxReadSPIFlash(h, a, Ptr(in, n), n);
      break;
    }
    case 71: {
      const std::uint32_t n = in.ConsumeIntegralInRange<std::uint32_t>(0, 64);
      const std::uint32_t a =
          in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint32_t>(0, 0xA0100) : u32();
      kepra_WriteFlash(h, a, Ptr<const void>(in, n), n);
      break;
    }
    case 72:
      kepra_UpdateFWFromFile(PickHandle(in), in.ConsumeBool() ? nullptr : "/nonexistent/kepra.img");
      break;
    case 73:
      kepra_CloseDevice(KEPRA_INVALID_HANDLE);
      break;
    default: {
      // Open an index (valid or not) and close what it gave.
      KEPRA_HANDLE opened = kepra_OpenDevice(in.ConsumeBool() ? g_index : u32());
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
