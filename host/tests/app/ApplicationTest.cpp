// The application end to end under Wine: the stand-in capture and audio layers, the
// stand-in encoder runtimes beside the test, a private PulseAudio server playing a 1 kHz
// tone, and clients of the real sockets.
#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/AppTestSupport.h"
#include "app/Application.h"
#include "capture/CaptureTestSupport.h"
#include "encode/StandinLibrary.h"
#include <nvEncodeAPI.h>
#include "protocol/ClientFeedback.h"
#include "protocol/ClientInput.h"
#include "protocol/InputEvent.h"
#include "StandinCaptureControl.h"
#include "support/LogCapture.h"

using namespace quorvane::test;
using nlohmann::json;
using quorvane::host::Application;
using quorvane::host::StandinCaptureControl;

namespace {

class ApplicationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file.save();
    ASSERT_TRUE(app.initialize());
    ASSERT_TRUE(signaling.connect());
    signaling.send({{"type", "hello"}});
    ASSERT_FALSE(signaling.next("welcome").is_null());
  }

  // A client stream of the window; its stream id, or -1.
  int startStream(uint32_t windowId) {
    signaling.send({{"type", "stream_start"}, {"windowId", windowId}});
    const json started = signaling.next("stream_started");
    return started.is_null() ? -1 : started["streamId"].get<int>();
  }
  // The next video packet of the stream, skipping others.
  std::optional<ChannelPacket> nextFrame(int streamId) {
    for (;;) {
      auto packet = readPacket(video);
      if (!packet || packet->header.streamId == streamId) return packet;
    }
  }
  static DWORD priority() { return GetPriorityClass(GetCurrentProcess()); }

  ComApartment com;
  LogCapture log;
  StandinLibrary nvenc{L"nvEncodeAPI64.dll", "StandinNvenc"};
  SettingsFile file;
  Application app;
  SignalingClient signaling{file.settings.signalingPort};
  LoopbackClient video;
};

TEST_F(ApplicationTest, ClientStreamCarriesItsConfigurationFramesAndSound) {
  TestWindow window(320, 240, L"Application test window");

  LoopbackClient audio;
  ASSERT_TRUE(audio.connect(file.settings.audioPort));
  ASSERT_TRUE(waitFor([&] { return log.contains("TCP audio client connected"); }, 5s));
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(audio.socket().available(), 0u) << "no sound is sent while no stream carries it";

  ASSERT_TRUE(video.connect(file.settings.videoPort));
  const int id = startStream(window.id());
  ASSERT_GE(id, 1);
  EXPECT_EQ(priority(), static_cast<DWORD>(HIGH_PRIORITY_CLASS));

  // The first keyframe comes with one configuration: the window's size and parameter sets.
  auto frame = nextFrame(id);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->payload[4], 1) << "the stream starts with a keyframe";
  json config = signaling.next("stream_config");
  ASSERT_FALSE(config.is_null());
  EXPECT_EQ(config["streamId"], id);
  EXPECT_EQ(config["windowId"], window.id());
  EXPECT_EQ(config["width"], 320);
  EXPECT_EQ(config["height"], 240);
  EXPECT_EQ(config["codec"], "video/avc");
  EXPECT_EQ(config["targetBitrate"], file.settings.targetBitrate);
  EXPECT_EQ(config["sps"].get<std::string>().substr(0, 2), "Z0") << "base64 of an H.264 SPS (0x67, ...)";
  EXPECT_EQ(config["pps"].get<std::string>().substr(0, 2), "aM") << "base64 of a PPS (0x68, 0xce, ...)";
  EXPECT_EQ(Application::base64Encode({0x67, 0x42, 0xc0, 0x1f}), "Z0LAHw==");
  EXPECT_EQ(Application::base64Encode({}), "");

  uint16_t sequence = frame->header.sequence;
  for (int i = 0; i < 10; ++i) {
    frame = nextFrame(id);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->header.sequence, static_cast<uint16_t>(++sequence)) << "frames in order";
  }
  EXPECT_EQ(signaling.countKept("stream_config"), 0u) << "one configuration per encoder";

  // Sound, now that a stream carries it (the end-to-end test decodes it).
  const auto sound = readPacket(audio);
  ASSERT_TRUE(sound);
  EXPECT_EQ(sound->header.streamId, id);

  // A resize request resizes the window; the next keyframe carries the new size.
  signaling.send({{"type", "window_resize"},
                  {"streamId", id},
                  {"windowId", window.id()},
                  {"width", 400},
                  {"height", 208}});
  EXPECT_EQ(signaling.next("window_resized")["success"], true);
  config = signaling.next("stream_config");
  ASSERT_FALSE(config.is_null());
  EXPECT_EQ(config["width"], 400);
  EXPECT_EQ(config["height"], 208);

  // A new target from the control window reaches the running stream with the user's maximum
  // (not 1.5 times the target, as adaptation would hand it).
  app.applySettings(30000, 40000, 60);
  const auto& rc = nvenc.call<const NV_ENC_RECONFIGURE_PARAMS*>("LastReconfigure")->reInitEncodeParams;
  EXPECT_EQ(rc.encodeConfig->rcParams.averageBitRate, 30000000u);
  EXPECT_EQ(rc.encodeConfig->rcParams.maxBitRate, 40000000u);

  signaling.send({{"type", "stream_stop"}, {"streamId", id}});
  EXPECT_FALSE(signaling.next("stream_stopped").is_null());
  EXPECT_EQ(priority(), static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
  std::this_thread::sleep_for(300ms);
  video.read(video.socket().available());  // what was sent before the stop
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(video.socket().available(), 0u) << "no frames after the stop";
}

// A size change is the window's own, not the padded one: 1920 x 1080 and 1920 x 1075 are both
// encoded at 1920 x 1088, yet the change makes a new encoder and a new configuration.
TEST_F(ApplicationTest, AResizeWithinThePaddingSendsANewConfiguration) {
  struct ContentSize {  // what the stand-in capture delivers, whatever the window's size
    ContentSize() { StandinCaptureControl::overrideContentSize(SIZE{1920, 1080}); }
    ~ContentSize() { StandinCaptureControl::reset(); }
  } delivered;
  TestWindow window(320, 240, L"Resized within its padding");
  ASSERT_TRUE(video.connect(file.settings.videoPort));
  const int id = startStream(window.id());
  ASSERT_GE(id, 1);
  json config = signaling.next("stream_config");
  ASSERT_FALSE(config.is_null());
  EXPECT_EQ(std::make_pair(config["width"].get<int>(), config["height"].get<int>()),
            std::make_pair(1920, 1080));

  StandinCaptureControl::overrideContentSize(SIZE{1920, 1075});
  config = signaling.next("stream_config");
  ASSERT_FALSE(config.is_null()) << "no configuration after the resize";
  EXPECT_EQ(config["streamId"], id);
  EXPECT_EQ(std::make_pair(config["width"].get<int>(), config["height"].get<int>()),
            std::make_pair(1920, 1075));
  EXPECT_EQ(log.count("Encoder recreated successfully for 1920x1088 on stream " + std::to_string(id)), 2u);
  const auto frame = nextFrame(id);
  ASSERT_TRUE(frame);
}

TEST_F(ApplicationTest, ControlWindowAndClientStreamsNeverTakeEachOtherOver) {
  TestWindow first(160, 128, L"First stream"), second(160, 128, L"Second stream");
  ASSERT_TRUE(app.startCapture(first.id(), 1));
  EXPECT_EQ(priority(), static_cast<DWORD>(HIGH_PRIORITY_CLASS));

  // The client's first start gets id 1 from the signaling server, which the control
  // window's stream holds: refused, and the control window's stream goes on.
  signaling.send({{"type", "stream_start"}, {"windowId", second.id()}});
  EXPECT_EQ(signaling.next("error")["code"], 1001);
  const int clientId = startStream(second.id());
  EXPECT_EQ(clientId, 2);

  app.stopCapture(2);  // the control window cannot stop the client's stream
  ASSERT_TRUE(video.connect(file.settings.videoPort));
  EXPECT_TRUE(nextFrame(2));
  app.stopCapture(1);
  app.stopCapture(1);  // a repeated stop counts nothing down
  EXPECT_EQ(priority(), static_cast<DWORD>(HIGH_PRIORITY_CLASS)) << "the client's stream still runs";
  signaling.send({{"type", "stream_stop"}, {"streamId", 2}});
  signaling.next("stream_stopped");
  EXPECT_EQ(priority(), static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
  EXPECT_EQ(log.count("Process priority boosted"), 1u);

  // A start that fails changes nothing.
  EXPECT_FALSE(app.startCapture(0x7ffffff0, 3));
  EXPECT_EQ(priority(), static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
  ASSERT_TRUE(app.startCapture(first.id(), 4));
  EXPECT_EQ(log.count("Process priority boosted"), 2u);
}

TEST_F(ApplicationTest, AStreamWhoseWindowClosedKeepsPriorityAndSoundUntilItsStop) {
  auto window = std::make_unique<TestWindow>(160, 128, L"Window that closes");
  TestWindow other(160, 128, L"Control window stream");
  LoopbackClient audio;
  ASSERT_TRUE(audio.connect(file.settings.audioPort));
  ASSERT_TRUE(waitFor([&] { return log.contains("TCP audio client connected"); }, 5s));
  const int id = startStream(window->id());
  ASSERT_GE(id, 1);
  ASSERT_TRUE(readPacket(audio));

  // The window closes; the main loop drops its capture.
  window.reset();
  const std::string dropped = "Removing inactive session for stream " + std::to_string(id);
  ASSERT_TRUE(waitFor([&] {
    app.update();
    return log.contains(dropped);
  }));
  app.update();
  EXPECT_EQ(priority(), static_cast<DWORD>(HIGH_PRIORITY_CLASS)) << "the stream counts until its stop";

  // The sound goes on under the stream's id: after what was already on its way, more
  // packets than one delivery of the audio capture holds.
  while (audio.socket().available() > 0) ASSERT_TRUE(readPacket(audio));
  for (int i = 0; i < 20; ++i) {
    const auto sound = readPacket(audio);
    ASSERT_TRUE(sound) << "packet " << i;
    EXPECT_EQ(sound->header.streamId, id);
  }

  // With a control-window stream running, the closed stream's stop counts it down once;
  // a repeated stop and a stop of an id that never ran count nothing.
  ASSERT_TRUE(app.startCapture(other.id(), 50));
  for (const int stopped : {id, id, 99}) {
    signaling.send({{"type", "stream_stop"}, {"streamId", stopped}});
    ASSERT_FALSE(signaling.next("stream_stopped").is_null());
    EXPECT_EQ(priority(), static_cast<DWORD>(HIGH_PRIORITY_CLASS)) << "after the stop of " << stopped;
  }
  app.stopCapture(50);
  EXPECT_EQ(priority(), static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
  EXPECT_EQ(log.count("Process priority boosted"), 1u);
}

// A client whose connection ends without stopping its streams: they stop as its stream_stop
// requests would stop them (counted down, sound unbound), and another client's stream runs on.
TEST_F(ApplicationTest, TheStreamsOfAClientThatGoesStopWithoutAffectingOthers) {
  TestWindow first(160, 128, L"Leaving client's first"), second(160, 128, L"Leaving client's second"),
      kept(160, 128, L"Staying client's");
  LoopbackClient audio;
  ASSERT_TRUE(audio.connect(file.settings.audioPort));
  ASSERT_TRUE(waitFor([&] { return log.contains("TCP audio client connected"); }));
  ASSERT_TRUE(video.connect(file.settings.videoPort));
  SignalingClient leaving(file.settings.signalingPort);
  ASSERT_TRUE(leaving.connect());
  std::vector<int> gone;
  for (const TestWindow* window : {&first, &second}) {
    leaving.send({{"type", "stream_start"}, {"windowId", window->id()}});
    gone.push_back(leaving.next("stream_started").value("streamId", -1));
  }
  const int staying = startStream(kept.id());
  ASSERT_TRUE(gone[0] >= 1 && gone[1] >= 1 && staying >= 1);
  auto sound = readPacket(audio);
  ASSERT_TRUE(sound);
  EXPECT_EQ(sound->header.streamId, gone[0]) << "the sound is bound to the first stream";

  // The connection breaks: no stream_stop, no close frame.
  leaving.reset();
  for (const int id : gone) {
    const std::string stopped = "Stopped capture for stream " + std::to_string(id);
    ASSERT_TRUE(waitFor([&] {
      app.update();
      return log.hasLine(spdlog::level::info, stopped);
    })) << stopped;
    EXPECT_TRUE(log.hasLine(spdlog::level::info, "Client requested to stop stream " + std::to_string(id)));
    EXPECT_TRUE(log.hasLine(spdlog::level::info, "Stopped capture on stream " + std::to_string(id)));
  }
  EXPECT_EQ(priority(), static_cast<DWORD>(HIGH_PRIORITY_CLASS)) << "the other client's stream still runs";
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(nextFrame(staying)) << "frame " << i;

  // The next start carries the sound; until then nothing else did.
  const int next = startStream(first.id());
  ASSERT_GE(next, 1);
  do {
    sound = readPacket(audio);
    ASSERT_TRUE(sound);
    ASSERT_TRUE(sound->header.streamId == gone[0] || sound->header.streamId == next)
        << sound->header.streamId;
  } while (sound->header.streamId != next);

  for (const int id : {staying, next}) {
    signaling.send({{"type", "stream_stop"}, {"streamId", id}});
    ASSERT_FALSE(signaling.next("stream_stopped").is_null());
  }
  EXPECT_EQ(priority(), static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
  EXPECT_EQ(log.count("Process priority boosted"), 1u);
  EXPECT_EQ(log.count("Client requested to stop stream "), 4u) << "each stream stopped once";
}

TEST_F(ApplicationTest, CongestionIsReportedAsAWarning) {
  ASSERT_TRUE(video.connect(file.settings.videoPort));
  quorvane::host::ClientFeedback feedback;
  feedback.rttMs = 90;
  feedback.decodeTimeMs = 12;
  // The first record starts adaptation; one a second or more after it lowers the bitrate.
  ASSERT_TRUE(waitFor(
      [&] {
        sendRecord(video, feedback, 4);
        return log.contains("Network congestion");
      },
      10s));
  EXPECT_TRUE(
      log.hasLine(spdlog::level::warn,
                  "Network congestion (RTT=90ms, decode=12ms), reducing bitrate 20000 -> 16000 kbps"));
}

TEST(ApplicationShutdown, StopsEveryProducerBeforeWhatItFeeds) {
  ComApartment com;
  LogCapture log;
  SettingsFile file;
  file.save();
  TestWindow window(256, 160, L"Shutdown test window");
  for (int round = 0; round < 5; ++round) {
    auto app = std::make_unique<Application>();
    ASSERT_TRUE(app->initialize());
    SignalingClient signaling(file.settings.signalingPort);
    LoopbackClient video, audio, input;
    ASSERT_TRUE(signaling.connect());
    ASSERT_TRUE(video.connect(file.settings.videoPort));
    ASSERT_TRUE(audio.connect(file.settings.audioPort));
    ASSERT_TRUE(input.connect(file.settings.inputPort));
    signaling.send({{"type", "stream_start"}, {"windowId", window.id()}});
    const int id = signaling.next("stream_started")["streamId"].get<int>();
    ASSERT_TRUE(app->startCapture(window.id(), static_cast<uint8_t>(100 + round)));
    ASSERT_TRUE(readPacket(video));

    // Records keep arriving on every channel while the application goes down.
    std::atomic<bool> stop{false};
    std::thread flood([&] {
      quorvane::host::InputEvent move{static_cast<uint8_t>(id), 1, 1, 100, 100};
      quorvane::host::ClientFeedback feedback;
      feedback.rttMs = 90;
      boost::system::error_code ignored;
      while (!stop) {
        try {
          sendRecord(input, move);
          sendRecord(video, feedback, 4);
          sendRecord(video, std::array<uint8_t, 1>{static_cast<uint8_t>(id)}, 16);
        } catch (const std::exception&) {
          break;  // the host has closed the connection
        }
        std::this_thread::sleep_for(1ms);
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50 * round));
    app->shutdown();
    app.reset();
    stop = true;
    flood.join();
  }
  EXPECT_EQ(log.count("Application shutdown complete"), 5u);
  EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
}

// Shutting down with streams of both origins, bound sound and all four clients busy: each
// producer stops before what it feeds goes away, and every channel is closed when shutdown
// returns, before the application is destroyed.
TEST(ApplicationShutdown, LeavesNoChannelOpenAndNothingRunningAfterIt) {
  ComApartment com;
  LogCapture log;
  SettingsFile file;
  file.save();
  const auto& ports = file.settings;
  TestWindow clientWindow(256, 160, L"Client stream"), controlWindow(192, 128, L"Control window stream");
  auto app = std::make_unique<Application>();
  ASSERT_TRUE(app->initialize());
  SignalingClient signaling(ports.signalingPort);
  LoopbackClient video, audio, input;
  ASSERT_TRUE(signaling.connect());
  ASSERT_TRUE(video.connect(ports.videoPort));
  ASSERT_TRUE(audio.connect(ports.audioPort));
  ASSERT_TRUE(input.connect(ports.inputPort));
  signaling.send({{"type", "stream_start"}, {"windowId", clientWindow.id()}});
  const auto id = static_cast<uint8_t>(signaling.next("stream_started")["streamId"].get<int>());
  ASSERT_TRUE(app->startCapture(controlWindow.id(), 200));
  std::set<int> streaming;
  while (streaming.size() < 2) {
    const auto frame = readPacket(video);
    ASSERT_TRUE(frame);
    streaming.insert(frame->header.streamId);
  }
  const auto sound = readPacket(audio);
  ASSERT_TRUE(sound);
  EXPECT_EQ(sound->header.streamId, id) << "the sound is bound to the first stream";

  // Every client keeps sending and reading until the host closes its connection.
  std::atomic<bool> stop{false};
  std::atomic<int> rounds{0};
  std::thread busy([&] {
    auto record = [](const auto& body, uint8_t type, bool typed) {
      std::vector<uint8_t> bytes(4);
      if (typed) bytes.push_back(type);
      const auto* raw = reinterpret_cast<const uint8_t*>(&body);
      bytes.insert(bytes.end(), raw, raw + sizeof(body));
      const auto length = static_cast<uint32_t>(bytes.size() - 4);
      std::memcpy(bytes.data(), &length, 4);
      return bytes;
    };
    quorvane::host::ClientFeedback feedback;
    feedback.rttMs = 90;
    const auto move = record(quorvane::host::InputEvent{id, 1, 1, 100, 100}, 0, false);
    const std::vector<std::vector<uint8_t>> videoRecords = {
        record(feedback, 4, true), record(std::array<uint8_t, 1>{id}, 16, true),
        record(quorvane::host::ClientInput{id, 1, 1, 0, 200, 200, 0}, 3, true)};
    const std::string keyframe = json{{"type", "request_keyframe"}, {"streamId", id}}.dump();
    bool open[4] = {true, true, true, true};
    while (!stop && (open[0] || open[1] || open[2] || open[3])) {
      open[0] = open[0] && signaling.WebSocketClient::send(keyframe);
      for (const auto& bytes : videoRecords) open[1] = open[1] && video.write(bytes);
      open[2] = open[2] && input.write(move);
      for (LoopbackClient* reader : {&video, &audio}) {
        boost::system::error_code error;
        const size_t waiting = reader->socket().available(error);
        if (!error && waiting > 0) reader->read(waiting);
      }
      ++rounds;
      std::this_thread::sleep_for(1ms);
    }
  });
  EXPECT_TRUE(waitFor([&] { return rounds >= 50; }));
  app->shutdown();
  stop = true;
  busy.join();

  // The order of the stops: the sound before the audio channel; the video channel and
  // signaling, whose requests reach the captures, before the captures; the captures and
  // the input channel, whose records reach the injector, within shutdown.
  const auto lines = log.block("Shutting down application...", "Application shutdown complete");
  auto position = [&](const std::string& text) {
    const auto it = std::find_if(lines.begin(), lines.end(),
                                 [&](const std::string& line) { return line.find(text) != line.npos; });
    EXPECT_TRUE(it != lines.end()) << "no \"" << text << "\" during shutdown";
    return it - lines.begin();
  };
  EXPECT_LT(position("Audio capture stopped"), position("TCP audio server stopped"));
  EXPECT_LT(position("TCP transport server stopped"), position("Shutting down CaptureOrchestrator..."));
  EXPECT_LT(position("Signaling server stopped"), position("Shutting down CaptureOrchestrator..."));
  EXPECT_LT(position("Stopped all captures"), position("Application shutdown complete"));
  EXPECT_LT(position("TCP input server stopped"), position("Application shutdown complete"));

  // Before the application is destroyed: every connection is closed and every port refuses.
  for (LoopbackClient* client : {static_cast<LoopbackClient*>(&signaling), &video, &audio, &input}) {
    EXPECT_TRUE(client->waitClosed());
  }
  const std::pair<const char*, uint16_t> channels[] = {{"signaling", ports.signalingPort},
                                                       {"video", ports.videoPort},
                                                       {"audio", ports.audioPort},
                                                       {"input", ports.inputPort}};
  for (const auto& [name, port] : channels) {
    LoopbackClient late;
    EXPECT_FALSE(late.connect(port)) << "the " << name << " port still accepts after shutdown";
  }
  app.reset();
  EXPECT_EQ(log.block("Application shutdown complete", "").size(), 1u) << "nothing runs after shutdown";
  EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
}

}  // namespace
