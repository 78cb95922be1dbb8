// The host's own work per encoded 1920x1088 frame: from the orchestrator's frame callback
// until the access unit is queued for the video channel, with and without the stream
// configuration that goes before a keyframe. A client stream of a test window supplies the
// stream's tables and parameter sets; a video client drains the channel. Run under Wine.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <spdlog/spdlog.h>

#include "BenchLine.h"
#include "app/AppTestSupport.h"
#include "app/Application.h"
#include "capture/CaptureTestSupport.h"

using namespace quorvane::test;
using quorvane::host::Application;

namespace {

// p50 and p99 of the samples, in microseconds, as the figures name.p50 and name.p99.
void report(const std::string& name, const char* what, std::vector<double> us) {
  std::sort(us.begin(), us.end());
  const std::string note = std::string(what) + " (" + std::to_string(us.size()) + " calls)";
  quorvane::bench::benchLine((name + ".p50").c_str(), us[us.size() / 2], "us", note.c_str());
  quorvane::bench::benchLine((name + ".p99").c_str(), us[us.size() * 99 / 100], "us", note.c_str());
}

template <typename Call>
double timeUs(Call call) {
  const auto start = std::chrono::steady_clock::now();
  call();
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main() {
  ComApartment com;
  spdlog::set_level(spdlog::level::warn);
  SettingsFile file;
  file.save();
  auto window = std::make_unique<TestWindow>(64, 64, L"Frame bench window");
  Application app;
  if (!app.initialize()) return 1;
  SignalingClient signaling(file.settings.signalingPort);
  LoopbackClient video;
  if (!signaling.connect() || !video.connect(file.settings.videoPort)) return 1;
  signaling.send({{"type", "stream_start"}, {"windowId", window->id()}});
  const auto id = signaling.next("stream_started")["streamId"].get<uint8_t>();
  std::atomic<bool> done{false};
  std::atomic<size_t> drained{0};
  std::thread drain([&] {
    std::vector<uint8_t> sink(1 << 20);
    boost::system::error_code error;
    while (!done && !error) drained += video.socket().read_some(boost::asio::buffer(sink), error);
  });
  std::this_thread::sleep_for(std::chrono::seconds(2));  // the stream's first keyframe and parameter sets
  // Its capture then ends, so that only this thread hands frames to the video channel (as the
  // orchestrator's lock sees to in the host); the stream's session and tables stay, since
  // nothing calls update().
  window.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  const std::vector<uint8_t> frame(40000, 0x5a), keyframe(200000, 0x65);  // about 20 Mbit/s at 72 fps
  std::vector<double> plain, configured;
  for (int i = 0; i < 3000; ++i) {
    plain.push_back(timeUs([&] { app.handleFrame(id, frame.data(), frame.size(), false); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(3));  // whole milliseconds under Wine
  }
  for (int i = 0; i < 300; ++i) {
    app.handleResolutionChange(id, 1920, 1080);
    configured.push_back(timeUs([&] { app.handleFrame(id, keyframe.data(), keyframe.size(), true); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  quorvane::bench::benchLine("app.frame.bytes_to_client", static_cast<double>(drained.load()), "bytes",
                             "reached the video client");
  report("app.frame", "frame to video channel, 40 KB", plain);
  report("app.keyframe", "keyframe with stream_config, 200 KB", configured);
  done = true;
  video.reset();
  drain.join();
  app.shutdown();
  return 0;
}
