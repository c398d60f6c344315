// Streams: a pool of buffers filled by a grab thread (stream/stream.h). A stream handle is
// looked up in a table of open streams, so a closed or made-up one is refused rather than
// followed, and a call that found its stream keeps it alive while it runs.
#include "stream/stream.h"

#include <map>
#include <memory>
#include <mutex>

#include "api/export.h"

using namespace kepra;

namespace {

std::mutex g_streams_mutex;
std::map<KEPRA_STREAM, std::shared_ptr<stream::Stream>>& Streams() {
  static auto* streams = new std::map<KEPRA_STREAM, std::shared_ptr<stream::Stream>>;
  return *streams;
}

std::shared_ptr<stream::Stream> Find(KEPRA_STREAM s) {
  std::lock_guard lock(g_streams_mutex);
  auto it = Streams().find(s);
  if (it != Streams().end()) return it->second;
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

uint32_t Flag(bool ok) { return ok ? 1 : 0; }

}  // namespace

extern "C" {

KEPRA_STREAM KEPRA_CALL kepra_OpenStream(KEPRA_HANDLE H, const kepra_StreamConfig* Config) noexcept
    try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Fail(ERROR_INVALID_HANDLE), nullptr;
  if (!Config) return api::Fail(ERROR_INVALID_ADDRESS), nullptr;
  if (Config->Size < sizeof(kepra_StreamConfig)) return api::Fail(ERROR_INVALID_PARAMETER), nullptr;
  std::shared_ptr<stream::Stream> s = stream::Stream::Open(h, *Config);
  if (!s) return nullptr;
  auto key = reinterpret_cast<KEPRA_STREAM>(s.get());
  std::lock_guard lock(g_streams_mutex);
  Streams()[key] = std::move(s);
  return key;
} catch (...) {
  return api::Caught<KEPRA_STREAM>(nullptr);
}

uint32_t KEPRA_CALL kepra_SetFrameCallback(KEPRA_STREAM S, kepra_FrameCallback Callback,
                                           void* Context) noexcept try {
  auto s = Find(S);
  return s ? Flag(s->SetCallback(Callback, Context)) : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_StartStream(KEPRA_STREAM S) noexcept try {
  auto s = Find(S);
  return s ? Flag(s->Start()) : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_NextFrame(KEPRA_STREAM S, kepra_Frame* Frame, uint32_t TimeoutMs) noexcept
    try {
  auto s = Find(S);
  if (!s) return 0;
  if (!Frame) return api::Fail(ERROR_INVALID_ADDRESS);
  if (Frame->Size < sizeof(kepra_Frame)) return api::Fail(ERROR_INVALID_PARAMETER);
  return Flag(s->Next(Frame, TimeoutMs));
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_ReleaseFrame(KEPRA_STREAM S, const kepra_Frame* Frame) noexcept try {
  auto s = Find(S);
  if (!s) return 0;
  if (!Frame) return api::Fail(ERROR_INVALID_ADDRESS);
  return Flag(s->Release(*Frame));
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_StopStream(KEPRA_STREAM S) noexcept try {
  auto s = Find(S);
  if (!s) return 0;
  s->Stop();
  return 1;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_GetStreamStats(KEPRA_STREAM S, kepra_StreamStats* Stats) noexcept try {
  auto s = Find(S);
  if (!s) return 0;
  if (!Stats) return api::Fail(ERROR_INVALID_ADDRESS);
  if (Stats->Size < sizeof(kepra_StreamStats)) return api::Fail(ERROR_INVALID_PARAMETER);
  s->Stats(Stats);
  return 1;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_CloseStream(KEPRA_STREAM S) noexcept try {
  std::shared_ptr<stream::Stream> s;
  {
    std::lock_guard lock(g_streams_mutex);
    auto it = Streams().find(S);
    if (it == Streams().end()) return api::Fail(ERROR_INVALID_HANDLE);
    s = std::move(it->second);
    Streams().erase(it);
  }
  s->Stop();
  return 1;  // freed with the last reference
} catch (...) {
  return api::Caught();
}

}  // extern "C"
