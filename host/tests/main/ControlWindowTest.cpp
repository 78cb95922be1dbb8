// The control window wired to the application as the entry wires them, under Wine: the
// stand-in capture and audio layers, the stand-in encoder runtimes beside the test, a private
// PulseAudio server playing a tone, and clients of the real sockets. The UI is driven with the
// window's own mouse messages.
#include <windows.h>

#include <memory>
#include <string>
#include <tuple>

#include "app/AppTestSupport.h"
#include "app/Application.h"
#include "capture/CaptureTestSupport.h"
#include "encode/StandinLibrary.h"
#include "main/Entry.h"
#include "support/LogCapture.h"
#include "ui/UiHarness.h"

using namespace quorvane::test;
using quorvane::host::Application;
using quorvane::host::ConnectionStatus;
using quorvane::host::Settings;
using quorvane::host::UISettings;

namespace {

// A window of the test's own thread that the window list shows.
class ListedWindow : public TestWindow {
 public:
  explicit ListedWindow(const wchar_t* title) : TestWindow(160, 128, title) {
    SetWindowLongW(handle(), GWL_EXSTYLE, WS_EX_APPWINDOW);
  }
};

class ControlWindowTest : public ::testing::Test {
 protected:
  // Taken down in the entry's order: the control window, then the application.
  void TearDown() override {
    h.ui.reset();
    if (g_app) g_app->shutdown();
    g_app.reset();
  }

  // The application on the settings file as it stands, and the control window connected to it.
  void start() {
    file.save();
    g_app = std::make_unique<Application>();
    ASSERT_TRUE(g_app->initialize());
    ConnectUIToApplication();
  }
  // As many main-loop hand-overs as it takes to refresh the window list once.
  static void refreshWindowList() {
    for (int i = 0; i < 60; ++i) RefreshUI();
  }
  // Clicks the row of the window with that title.
  void clickRow(const std::string& title) {
    h.frames();
    const auto run = h.text(title);
    ASSERT_FALSE(run.text.empty()) << title << " is not listed";
    h.click(ImVec2(run.pos.x + 5, run.pos.y + 5));
  }
  static DWORD priority() { return GetPriorityClass(GetCurrentProcess()); }

  ComApartment com;
  LogCapture log;
  StandinLibrary nvenc{L"nvEncodeAPI64.dll", "StandinNvenc"};
  SettingsFile file;
  UiHarness h{g_ui};
};

// A stream started from the window list whose window then closes is stopped by the next refresh
// of the list, as a click would stop it: the priority returns to normal, the next start gets the
// sound, and a client may use the stream id again.
TEST_F(ControlWindowTest, AStreamWhoseWindowClosedEndsWithItsRow) {
  start();
  LoopbackClient audio;
  ASSERT_TRUE(audio.connect(file.settings.audioPort));
  ASSERT_TRUE(waitFor([&] { return log.contains("TCP audio client connected"); }));
  auto closing = std::make_unique<ListedWindow>(L"qh-ui window that closes");
  ListedWindow next(L"qh-ui next window");
  refreshWindowList();

  clickRow("qh-ui window that closes");
  ASSERT_EQ(priority(), static_cast<DWORD>(HIGH_PRIORITY_CLASS));
  const auto sound = readPacket(audio);
  ASSERT_TRUE(sound);
  EXPECT_EQ(sound->header.streamId, 1);

  closing.reset();
  refreshWindowList();
  EXPECT_EQ(log.count("Stop capture requested for stream 1"), 1u);
  EXPECT_EQ(priority(), static_cast<DWORD>(NORMAL_PRIORITY_CLASS));

  clickRow("qh-ui next window");
  EXPECT_EQ(log.count("Start capture requested for window " + std::to_string(next.id()) + " on stream 2"),
            1u);
  bool rebound = false;
  for (int i = 0; i < 500 && !rebound; ++i) {
    const auto packet = readPacket(audio);
    ASSERT_TRUE(packet) << "packet " << i;
    rebound = packet->header.streamId == 2;
  }
  EXPECT_TRUE(rebound) << "the sound stays with the closed window's stream";

  // The client's first stream id is 1, which no stream holds any more.
  SignalingClient client(file.settings.signalingPort);
  ASSERT_TRUE(client.connect());
  client.send({{"type", "stream_start"}, {"windowId", next.id()}});
  const auto started = client.next("stream_started");
  ASSERT_FALSE(started.is_null()) << "refused: " << log.count("already streaming for the control window");
  EXPECT_EQ(started["streamId"], 1);
}

// While a client is connected the status shows fixed figures, not measurements, and never an
// address; before and after, nothing.
TEST_F(ControlWindowTest, TheConnectionStateShowsFixedFiguresWhileAClientIsConnected) {
  start();
  const auto status = [] {
    const ConnectionStatus& s = g_ui->connectionStatus;
    return std::make_tuple(s.connected, s.clientName, s.clientIp, s.fps, s.latencyMs, s.bitrateMbps);
  };
  const auto none = std::make_tuple(false, std::string(), std::string(), 0, 0.0f, 0.0f);
  RefreshUI();
  EXPECT_EQ(status(), none);

  auto client = std::make_unique<SignalingClient>(file.settings.signalingPort);
  ASSERT_TRUE(client->connect());
  ASSERT_TRUE(waitFor([&] {
    g_app->update();
    RefreshUI();
    return g_ui->connectionStatus.connected;
  }));
  EXPECT_EQ(status(), std::make_tuple(true, std::string("Meta Quest"), std::string(), 72, 18.0f, 50.0f));
  h.frames();
  EXPECT_FALSE(h.text("FPS: 72 Latency: 18.0 ms Bitrate: 50.0 Mbps").text.empty());
  EXPECT_FALSE(h.text("Connected to Meta Quest").text.empty());

  client.reset();
  ASSERT_TRUE(waitFor([&] {
    g_app->update();
    RefreshUI();
    return !g_ui->connectionStatus.connected;
  }));
  EXPECT_EQ(status(), none);
}

// The control window's record takes every stored field (a maximum that is not the preset's),
// shows them, and a change on its pages applies and saves them as they were stored.
TEST_F(ControlWindowTest, TheSettingsRecordTakesEveryStoredField) {
  Settings& stored = file.settings;
  stored.targetBitrate = 22500;
  stored.maxBitrate = 61000;
  stored.targetFps = 90;
  stored.sharpeningEnabled = true;
  stored.sharpness = 0.4f;
  stored.vsyncEnabled = true;
  stored.fullRangeColor = true;
  start();

  UISettings expected;
  expected.signalingPort = stored.signalingPort;
  expected.videoPort = stored.videoPort;
  expected.audioPort = stored.audioPort;
  expected.inputPort = stored.inputPort;
  expected.targetFps = 90;
  expected.targetBitrate = 22500;
  expected.maxBitrate = 61000;
  expected.sharpeningEnabled = true;
  expected.sharpness = 0.4f;
  expected.vsyncEnabled = true;
  expected.fullRangeColor = true;
  EXPECT_EQ(g_ui->settings, expected);

  h.click("  Streaming");
  h.frames();
  EXPECT_FALSE(h.text("22 Mbps").text.empty()) << "the bitrate slider";
  EXPECT_FALSE(h.text("High (50 Mbps)").text.empty()) << "the preset stays as it is";

  h.click("120 Hz");
  Settings saved;
  ASSERT_TRUE(saved.load());
  EXPECT_EQ(std::make_tuple(saved.targetBitrate, saved.maxBitrate, saved.targetFps),
            std::make_tuple(22500u, 61000u, 120u));
  EXPECT_EQ(
      std::make_tuple(saved.sharpeningEnabled, saved.sharpness, saved.vsyncEnabled, saved.fullRangeColor),
      std::make_tuple(true, 0.4f, true, true));
  EXPECT_EQ(g_app->settings.maxBitrate, 61000u);
}

}  // namespace
