// kepra view: one camera's live image, histogram, settings and statistics in a browser page
// that the tool serves itself.
#include "view.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>

#include "camera_control.h"
#include "cpu_time.h"
#include "frame_source.h"
#include "http_server.h"
#include "imaging.h"
#include "jpeg_encoder.h"
#include "protocol.h"
#include "recorder.h"

namespace kepra_view {

// The page, embedded at build time.
extern const unsigned char kIndexHtml[];
extern const std::size_t kIndexHtmlSize;
extern const unsigned char kViewJs[];
extern const std::size_t kViewJsSize;
extern const unsigned char kViewCss[];
extern const std::size_t kViewCssSize;

namespace {

std::atomic<bool> g_signalled{false};
extern "C" void OnSignal(int) { g_signalled.store(true); }

std::string Embedded(const unsigned char* data, std::size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

std::string WithId(std::string json, const std::optional<std::uint32_t>& id) {
  if (!id) return json;
  json.pop_back();
  return json + ",\"id\":" + std::to_string(*id) + "}";
}

// Adds a member to a built JSON object.
std::string With(std::string json, std::string_view key, std::string_view raw) {
  json.pop_back();
  return json + "," + JsonString(key) + ":" + std::string(raw) + "}";
}

// Saturated areas sent with a frame at most; a frame with more says so in its header.
constexpr std::size_t kMaxSaturatedRuns = 32768;

std::string ErrorReply(const std::string& message, const std::optional<std::uint32_t>& id) {
  return WithId(JsonObject().Str("type", "error").Str("message", message).Build(), id);
}

class Viewer : public HttpHandler {
 public:
  explicit Viewer(const ViewOptions& options)
      : options_(options),
        source_(std::make_shared<FrameSource>(options.device)),
        recorder_(options.record_dir) {}

  void Start() {
    broadcaster_ = std::thread([this] { Broadcast(); });
  }
  void Stop() {
    stop_.store(true);
    if (broadcaster_.joinable()) broadcaster_.join();
  }

  HttpResponse OnHttp(const HttpRequest& request) override {
    if (request.method != "GET") {
      return {405, "text/plain; charset=utf-8", "GET only\n", {}};
    }
    const std::string path = request.target.substr(0, request.target.find('?'));
    if (path == "/" || path == "/index.html") {
      // The page talks only to this server and may not be framed by another page.
      return {200,
              "text/html; charset=utf-8",
              Embedded(kIndexHtml, kIndexHtmlSize),
              {{"Content-Security-Policy",
                "default-src 'self'; img-src 'self' blob:; connect-src 'self'; "
                "frame-ancestors 'none'"},
               {"X-Frame-Options", "DENY"}}};
    }
    if (path == "/view.js") {
      return {200, "text/javascript; charset=utf-8", Embedded(kViewJs, kViewJsSize), {}};
    }
    if (path == "/view.css") {
      return {200, "text/css; charset=utf-8", Embedded(kViewCss, kViewCssSize), {}};
    }
    if (path == "/snapshot.png") {
      const auto frame = Shown();
      if (!frame) return {503, "text/plain; charset=utf-8", "no frame yet\n", {}};
      std::string error;
      std::string png =
          EncodePng16(frame->samples.data(), frame->width, frame->height, frame->bit_depth, error);
      if (png.empty()) return {500, "text/plain; charset=utf-8", error + "\n", {}};
      const std::string name = "kepra-" + std::to_string(Source()->index()) + "-" +
                               std::to_string(frame->counter) + ".png";
      return {200,
              "image/png",
              std::move(png),
              {{"Content-Disposition", "attachment; filename=\"" + name + "\""}}};
    }
    return {404, "text/plain; charset=utf-8", "not found\n", {}};
  }

  void OnOpen(const std::shared_ptr<WsClient>& client) override {
    {
      std::lock_guard lock(clients_mutex_);
      clients_.push_back(client);
    }
    client->SendText(CurrentState());
  }

  void OnClose(const std::shared_ptr<WsClient>& client) override {
    std::lock_guard lock(clients_mutex_);
    clients_.erase(std::remove(clients_.begin(), clients_.end(), client), clients_.end());
  }

  void OnText(const std::shared_ptr<WsClient>& client, const std::string& text) override {
    const Decoded decoded = DecodeRequest(text);
    if (!decoded.request) {
      client->SendText(ErrorReply("bad message: " + decoded.error, std::nullopt));
      return;
    }
    const Request& r = *decoded.request;
    switch (r.op) {
      case Op::kState:
        client->SendText(WithId(RefreshState(), r.id));
        return;
      case Op::kSet:
        return Set(client, r);
      case Op::kPixel:
        return Pixel(client, r);
      case Op::kCameras:
        client->SendText(WithId(Cameras(), r.id));
        return;
      case Op::kSelect:
        return Select(client, r);
      case Op::kHold:
        hold_.store(r.on);
        if (!r.on) trigger_ms_.store(0);
        client->SendText(WithId(JsonObject().Str("type", "hold").Bool("on", r.on).Build(), r.id));
        ToAll(RefreshState());
        return;
      case Op::kTrigger:
        if (!hold_.load()) {
          client->SendText(ErrorReply(
              "the software trigger works while the view is held (software trigger mode)", r.id));
          return;
        }
        trigger_ms_.store(WallMs());
        client->SendText(
            WithId(JsonObject().Str("type", "trigger").Bool("ok", true).Build(), r.id));
        return;
      case Op::kRecord:
        return Record(client, r);
    }
  }

 private:
  std::shared_ptr<FrameSource> Source() {
    std::lock_guard lock(source_mutex_);
    return source_;
  }

  // The frame the pages show last: the one a snapshot and the pixel values come from.
  std::shared_ptr<const Frame> Shown() {
    std::lock_guard lock(shown_mutex_);
    return shown_;
  }

  std::vector<std::shared_ptr<WsClient>> Clients() {
    std::lock_guard lock(clients_mutex_);
    return clients_;
  }

  void ToAll(const std::string& text) {
    for (const auto& c : Clients()) c->SendText(text);
  }

  std::string CurrentState() {
    std::lock_guard lock(state_mutex_);
    if (state_.empty()) {
      state_ = JsonObject()
                   .Str("type", "state")
                   .Num("index", Source()->index())
                   .Bool("connected", false)
                   .Build();
    }
    return state_;
  }

  // Reads the settings from the camera (or notes that it is gone) and keeps the answer.
  std::string RefreshState() {
    const auto source = Source();
    std::string state;
    double rate = 0;
    const bool connected = source->WithCamera([&](KEPRA_HANDLE h) {
      state = DescribeCamera(h, source->index());
      if (!kepra_GetFrameRate(h, &rate)) rate = 0;
    });
    if (!connected) {
      state = JsonObject()
                  .Str("type", "state")
                  .Num("index", source->index())
                  .Bool("connected", false)
                  .Build();
    }
    configured_fps_.store(rate);
    state = With(state, "hold", hold_.load() ? "true" : "false");
    std::lock_guard lock(state_mutex_);
    state_ = state;
    return state;
  }

  void Set(const std::shared_ptr<WsClient>& client, const Request& r) {
    const auto source = Source();
    std::string error;
    const bool connected = source->WithCamera([&](KEPRA_HANDLE h) { error = ApplySetting(h, r); });
    if (!connected) error = "the camera is not connected";
    // A new stream reads the new frame size, and ends a grab that waits for a trigger.
    if (ChangesFrameSize(r.setting) || r.setting == Setting::kStreamMode) source->Restart();
    // Everyone sees what the camera took, also after a refusal.
    ToAll(RefreshState());
    JsonObject reply;
    reply.Str("type", "set").Str("name", SettingName(r.setting)).Bool("ok", error.empty());
    if (!error.empty()) reply.Str("error", error);
    client->SendText(WithId(reply.Build(), r.id));
  }

  void Record(const std::shared_ptr<WsClient>& client, const Request& r) {
    if (r.frames == 0) {
      recorder_.Stop();
    } else if (const std::string error = recorder_.Start(Source()->index(), r.frames);
               !error.empty()) {
      client->SendText(ErrorReply(error, r.id));
      return;
    }
    client->SendText(WithId(JsonObject()
                                .Str("type", "record")
                                .Num("frames", r.frames)
                                .Str("folder", recorder_.Status().folder)
                                .Build(),
                            r.id));
  }

  void Pixel(const std::shared_ptr<WsClient>& client, const Request& r) {
    const auto frame = Shown();
    if (!frame) {
      client->SendText(ErrorReply("no frame yet", r.id));
      return;
    }
    if (r.x >= frame->width || r.y >= frame->height) {
      client->SendText(ErrorReply("pixel outside the frame (" + std::to_string(frame->width) + "x" +
                                      std::to_string(frame->height) + ")",
                                  r.id));
      return;
    }
    client->SendText(WithId(JsonObject()
                                .Str("type", "pixel")
                                .Num("x", r.x)
                                .Num("y", r.y)
                                .Num("value", frame->samples[std::size_t{r.y} * frame->width + r.x])
                                .Num("bit_depth", frame->bit_depth)
                                .Num("seq", static_cast<double>(frame->sequence))
                                .Build(),
                            r.id));
  }

  std::string Cameras() {
    const auto source = Source();
    std::string list = "[";
    for (std::uint32_t i = 0; i < KEPRA_MAX_DEVICES; ++i) {
      kepra_CameraInfo info{};
      bool present = false;
      if (i == source->index()) {
        present = source->WithCamera([&](KEPRA_HANDLE h) { kepra_GetCameraInfo(h, &info); });
      } else if (KEPRA_HANDLE h = kepra_OpenDevice(i); h != KEPRA_INVALID_HANDLE) {
        present = true;
        kepra_GetCameraInfo(h, &info);
        kepra_CloseDevice(h);
      }
      if (!present) continue;
      if (list.size() > 1) list += ',';
      list += JsonObject()
                  .Num("index", i)
                  .Str("model",
                       std::string(info.ModelName, strnlen(info.ModelName, sizeof info.ModelName)))
                  .Num("width", info.Width)
                  .Num("height", info.Height)
                  .Build();
    }
    return JsonObject()
        .Str("type", "cameras")
        .Num("current", source->index())
        .Add("cameras", list + "]")
        .Build();
  }

  void Select(const std::shared_ptr<WsClient>& client, const Request& r) {
    std::shared_ptr<FrameSource> old;
    {
      std::lock_guard lock(source_mutex_);
      if (source_->index() != r.index) {
        old = std::move(source_);
        source_ = std::make_shared<FrameSource>(r.index);
      }
    }
    old.reset();  // may wait for its grab thread: outside the lock
    client->SendText(
        WithId(JsonObject().Str("type", "selected").Num("index", r.index).Build(), r.id));
    ToAll(RefreshState());
  }

  // Frames to every client (encoded once), connection changes, and statistics twice a second.
  void Broadcast() {
    std::vector<std::uint8_t> grey;
    std::shared_ptr<FrameSource> source;
    int was_connected = -1;
    std::uint64_t streams = 0;
    std::uint64_t last_shape = 0;
    // Stream counters twice a second over the last two seconds, for the rates.
    struct Sample {
      double ms;
      std::uint64_t received, delivered;
    };
    std::deque<Sample> samples;
    std::deque<double> sent_ms;    // when recent frames went out
    std::deque<double> latencies;  // grab to hand-over, ms
    auto next_stats = std::chrono::steady_clock::now();
    while (!stop_.load()) {
      if (const auto now_source = Source(); now_source != source) {
        source = now_source;
        was_connected = -1;
        samples.clear();
      }
      const double take_cpu = ThreadCpuMs();
      const auto frame = source->Next(std::chrono::milliseconds(100));
      if (frame) {
        cost_.take += ThreadCpuMs() - take_cpu;
        ++cost_.taken;
      }
      const SourceStats stats = source->Stats();
      // A new stream follows a change of connection or frame size, also one made elsewhere.
      if (int(stats.connected) != was_connected || stats.streams != streams) {
        was_connected = stats.connected;
        streams = stats.streams;
        ToAll(RefreshState());
      }
      const auto clients = Clients();
      if (frame) {
        // Frames of another size: the settings shown must say why.
        const std::uint64_t shape = std::uint64_t{frame->width} << 32 |
                                    std::uint64_t{frame->height} << 8 | frame->bit_depth;
        if (shape != last_shape) {
          if (last_shape != 0) ToAll(RefreshState());
          last_shape = shape;
        }
        recorder_.Offer(frame);
        if (Wanted(*frame)) {
          {
            std::lock_guard lock(shown_mutex_);
            shown_ = frame;
          }
          if (!clients.empty()) {
            const auto message = EncodeFrame(*frame, grey);
            if (message) {
              for (const auto& c : clients) c->OfferFrame(message);
              const double now = WallMs();
              sent_ms.push_back(now);
              latencies.push_back(now - frame->grabbed_ms);
            }
          }
        }
      }
      const double now = WallMs();
      while (!sent_ms.empty() && sent_ms.front() < now - 2000) sent_ms.pop_front();
      while (latencies.size() > 60) latencies.pop_front();
      if (std::chrono::steady_clock::now() < next_stats) continue;
      next_stats += std::chrono::milliseconds(500);
      samples.push_back({now, stats.received, stats.delivered});
      while (samples.size() > 5) samples.pop_front();
      const auto rate = [&](std::uint64_t Sample::*count) {
        const double span = samples.back().ms - samples.front().ms;
        if (samples.size() < 2 || span <= 0) return 0.0;
        return static_cast<double>(samples.back().*count - samples.front().*count) * 1000.0 / span;
      };
      double sent = 0;
      if (sent_ms.size() >= 2) {
        sent = (sent_ms.size() - 1) * 1000.0 / std::max(1.0, sent_ms.back() - sent_ms.front());
      }
      std::vector<double> sorted(latencies.begin(), latencies.end());
      std::sort(sorted.begin(), sorted.end());
      const RecordingStatus rec = recorder_.Status();
      JsonObject o;
      o.Str("type", "stats")
          .Bool("connected", stats.connected)
          .Num("configured_fps", stats.connected ? configured_fps_.load() : 0)
          .Num("received_fps", rate(&Sample::received))
          .Num("delivered_fps", rate(&Sample::delivered))
          .Num("sent_fps", sent)
          .Num("received", static_cast<double>(stats.received))
          .Num("delivered", static_cast<double>(stats.delivered))
          .Num("skipped", static_cast<double>(stats.skipped))
          .Num("dropped", static_cast<double>(stats.dropped))
          .Num("failures", static_cast<double>(stats.failures))
          .Str("last_error", stats.last_error ? ErrorText(stats.last_error) : "")
          .Num("reconnects", static_cast<double>(stats.reconnects))
          .Num("streams", static_cast<double>(stats.streams))
          .Num("server_latency_ms", sorted.empty() ? 0 : sorted[sorted.size() / 2])
          .Num("clients", static_cast<double>(clients.size()))
          // CPU ms of this process's viewer threads since it started, by stage: taking frames
          // from the stream (copy), histogram and saturated runs, 8-bit view, JPEG, building
          // the message; per page below, sending it.
          .Add("cpu_ms", JsonObject()
                             .Num("frames_taken", static_cast<double>(cost_.taken))
                             .Num("frames_encoded", static_cast<double>(cost_.encoded))
                             .Num("take", cost_.take)
                             .Num("histogram", cost_.histogram)
                             .Num("eight_bit", cost_.eight_bit)
                             .Num("jpeg", cost_.jpeg)
                             .Num("pack", cost_.pack)
                             .Build())
          .Add("recording", JsonObject()
                                .Bool("active", rec.active)
                                .Num("wanted", rec.wanted)
                                .Num("written", rec.written)
                                .Num("missed", rec.missed)
                                .Num("gaps", static_cast<double>(rec.gaps))
                                .Str("folder", rec.folder)
                                .Str("error", rec.error)
                                .Build());
      const std::string common = o.Build();
      for (const auto& c : clients) {
        c->SendText(With(With(common, "replaced_for_you", std::to_string(c->replaced())),
                         "send_cpu_ms_for_you",
                         std::to_string(static_cast<double>(c->frame_send_cpu_us()) / 1000.0)));
      }
    }
  }

  // Live: every frame. Held (software trigger): only the first frame that completed after
  // the trigger.
  bool Wanted(const Frame& frame) {
    if (!hold_.load()) return true;
    double at = trigger_ms_.load();
    return at != 0 && frame.grabbed_ms >= at && trigger_ms_.compare_exchange_strong(at, 0);
  }

  // [header length, 4 bytes little-endian][header JSON][JPEG][saturated runs, u32 LE pairs]
  std::shared_ptr<const std::string> EncodeFrame(const Frame& frame,
                                                 std::vector<std::uint8_t>& grey) {
    const std::size_t count = frame.samples.size();
    double cpu = ThreadCpuMs();
    const auto stage = [&cpu](double& total) {
      const double now = ThreadCpuMs();
      total += now - cpu;
      cpu = now;
    };
    const Histogram histogram = ComputeHistogram(frame.samples.data(), count, frame.bit_depth);
    SaturatedRuns runs;
    if (histogram.saturated > 0) {
      runs = FindSaturatedRuns(frame.samples.data(), count, frame.bit_depth, kMaxSaturatedRuns);
    }
    stage(cost_.histogram);
    grey.resize(count);
    To8Bit(frame.samples.data(), count, frame.bit_depth, grey.data());
    stage(cost_.eight_bit);
    std::string image;
    if (const std::string error =
            EncodeGreyJpeg(grey.data(), frame.width, frame.height, options_.jpeg_quality, image);
        !error.empty()) {
      ToAll(ErrorReply("JPEG encoding failed: " + error, std::nullopt));
      return nullptr;
    }
    stage(cost_.jpeg);
    std::string bins = "[";
    for (std::size_t i = 0; i < histogram.bins.size(); ++i) {
      if (i) bins += ',';
      bins += std::to_string(histogram.bins[i]);
    }
    const std::string header =
        JsonObject()
            .Num("seq", static_cast<double>(frame.sequence))
            .Num("counter", frame.counter)
            .Num("width", frame.width)
            .Num("height", frame.height)
            .Num("bit_depth", frame.bit_depth)
            .Num("grabbed_ms", frame.grabbed_ms)
            .Num("sent_ms", WallMs())
            .Add("hist", bins + "]")
            .Num("saturated", static_cast<double>(histogram.saturated))
            .Num("max", histogram.max_value)
            .Num("jpeg_bytes", static_cast<double>(image.size()))
            .Num("saturated_runs", static_cast<double>(runs.pairs.size() / 2))
            .Bool("saturated_runs_complete", runs.complete)
            .Build();
    auto message = std::make_shared<std::string>();
    message->reserve(4 + header.size() + image.size() + runs.pairs.size() * 4);
    const auto put32 = [&](std::uint32_t n) {
      for (int i = 0; i < 4; ++i) message->push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
    };
    put32(static_cast<std::uint32_t>(header.size()));
    *message += header;
    *message += image;
    for (const std::uint32_t n : runs.pairs) put32(n);
    stage(cost_.pack);
    ++cost_.encoded;
    return message;
  }

  ViewOptions options_;
  std::mutex source_mutex_;
  std::shared_ptr<FrameSource> source_;
  std::mutex clients_mutex_;
  std::vector<std::shared_ptr<WsClient>> clients_;
  std::mutex state_mutex_;
  std::string state_;
  std::mutex shown_mutex_;
  std::shared_ptr<const Frame> shown_;
  Recorder recorder_;
  std::atomic<bool> hold_{false};
  std::atomic<double> trigger_ms_{0};  // wall time of a pending software trigger; 0: none
  std::atomic<double> configured_fps_{0};
  std::atomic<bool> stop_{false};
  std::thread broadcaster_;
  // CPU ms by stage, the broadcaster's own (it alone writes and reads them).
  struct Cost {
    std::uint64_t taken = 0, encoded = 0;
    double take = 0, histogram = 0, eight_bit = 0, jpeg = 0, pack = 0;
  } cost_;
};

}  // namespace

int ServeView(const ViewOptions& options, const std::atomic<bool>& stop,
              const std::function<void(const std::string& url)>& listening) {
  const auto colon = options.listen.rfind(':');
  unsigned long port = 0;
  char* end = nullptr;
  if (colon == std::string::npos || colon == 0 || colon + 1 == options.listen.size() ||
      (port = std::strtoul(options.listen.c_str() + colon + 1, &end, 10), *end != '\0') ||
      port > 65535) {
    std::fprintf(stderr, "kepra: --listen wants HOST:PORT (e.g. 127.0.0.1:8080), not \"%s\"\n",
                 options.listen.c_str());
    return 2;
  }
  const std::string host = options.listen.substr(0, colon);
  Viewer viewer(options);
  HttpServer server(viewer, "/ws");
  if (const std::string error = server.Listen(host, static_cast<std::uint16_t>(port));
      !error.empty()) {
    std::fprintf(stderr, "kepra: %s\n", error.c_str());
    return 1;
  }
  if (!server.policy().loopback_only) {
    std::fprintf(stderr,
                 "kepra: warning: listening on %s: anyone who reaches this address can view and "
                 "configure the camera\n",
                 host.c_str());
  }
  viewer.Start();
  listening("http://" + host + ":" + std::to_string(server.port()) + "/");
  std::thread watcher([&server, &stop] {
    while (!stop.load()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    server.Stop();
  });
  server.Run();
  viewer.Stop();
  watcher.join();
  return 0;
}

int RunView(const ViewOptions& options) {
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  return ServeView(options, g_signalled, [](const std::string& url) {
    std::printf("%s\n", url.c_str());
    std::fflush(stdout);
  });
}

}  // namespace kepra_view
