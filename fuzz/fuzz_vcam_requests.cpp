// Random request streams for the virtual camera: straight into Camera::Serve, and as raw bytes
// into the socket server's decoder over a connected socket pair (headers with any lengths,
// short reads, a stream cut anywhere). The decoder runs on the fuzzer's thread: the whole
// stream is written first and the replies are left unread; a reply that does not fit the
// socket's buffer ends the stream, as a peer that stopped reading would.
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "camera.h"
#include "protocol/protocol.h"
#include "server.h"

namespace {

namespace io = kepra::protocol;

// Two cameras: one served over sockets, one called directly.
vcam::Camera& Served() {
  static vcam::Camera camera(0);
  return camera;
}
vcam::Camera& Direct() {
  static vcam::Camera camera(1);
  return camera;
}

std::uint32_t PickCode(FuzzedDataProvider& in) {
  if (in.ConsumeIntegralInRange<int>(0, 15) == 0) return in.ConsumeIntegral<std::uint32_t>();
  const auto& codes = io::kControlCodes;
  return codes[in.ConsumeIntegralInRange<std::size_t>(0, std::size(codes) - 1)].code;
}

void ServeDirect(FuzzedDataProvider& in) {
  vcam::Camera& camera = Direct();
  std::vector<std::uint8_t> out;
  for (int n = 0; n < 16 && in.remaining_bytes() > 0; ++n) {
    const std::uint32_t code = PickCode(in);
    // Device resets are fine; the flash is kept small in reach: writes and erases go wherever
    // the stream says, as a driver would let them.
    const std::vector<std::uint8_t> input =
        in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 300));
    out.assign(in.ConsumeIntegralInRange<std::size_t>(0, 5000), 0xCC);
    camera.Trigger();  // in snapshot mode a frame may wait for a trigger without limit
    const vcam::Camera::Result result = camera.Serve(code, input, out);
    if (result.ok && result.bytes > out.size()) std::abort();  // wrote past the caller's buffer
  }
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void ServeOverSocket(FuzzedDataProvider& in) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) std::abort();
  const int fd = pair[0];
  if (fcntl(pair[1], F_SETFL, O_NONBLOCK) != 0) std::abort();
  // Headers are code, input length, output length; mostly sane lengths with their input bytes,
  // sometimes anything at all.
  std::vector<std::uint8_t> stream;
  auto put = [&](std::uint32_t v) {
    for (int i = 0; i < 4; ++i) stream.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  while (in.remaining_bytes() > 0 && stream.size() < 8192) {
    if (in.ConsumeIntegralInRange<int>(0, 7) == 0) {
      const auto raw = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 64));
      stream.insert(stream.end(), raw.begin(), raw.end());
      continue;
    }
    put(PickCode(in));
    const auto input =
        in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 300));
    put(static_cast<std::uint32_t>(input.size()));
    put(in.ConsumeIntegralInRange<std::uint32_t>(0, 5000));
    stream.insert(stream.end(), input.begin(), input.end());
  }
  WriteAll(fd, stream.data(), stream.size());
  shutdown(fd, SHUT_WR);
  // A trigger for every request the stream can hold, so that no snapshot frame waits for ever.
  for (std::size_t n = 0; n <= stream.size() / 12; ++n) Served().Trigger();
  if (vcam::ServeStream(Served(), pair[1])) std::abort();  // this camera never unplugs
  close(pair[1]);
  close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  FuzzedDataProvider in(data + 1, size - 1);
  if (data[0] & 1) {
    ServeOverSocket(in);
  } else {
    ServeDirect(in);
  }
  return 0;
}
