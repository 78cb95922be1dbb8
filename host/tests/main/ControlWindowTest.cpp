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

}  // namespace
