// Input records of both channels reach the streamed windows through the application.
// Runs alone: synthesised input goes to whichever window has the focus.
#include <windows.h>

#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "app/AppTestSupport.h"
#include "app/Application.h"
#include "protocol/ClientInput.h"
#include "protocol/InputEvent.h"
#include "support/InputRecorder.h"
#include "support/LogCapture.h"

using namespace quorvane::test;
using quorvane::host::ClientInput;
using quorvane::host::InputEvent;

namespace {

// (window, message, detail, x, y) of each message seen, compared in order; the record is
// emptied for the next batch.
void expectSeen(const std::vector<std::tuple<HWND, UINT, int, int, int>>& expected) {
  ASSERT_TRUE(pumpUntil([&] { return gSeen.size() >= expected.size(); })) << gSeen.size() << " messages";
  std::this_thread::sleep_for(100ms);
  pumpUntil([] { return true; });
  ASSERT_EQ(gSeen.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const Seen& s = gSeen[i];
    EXPECT_EQ(std::make_tuple(s.window, s.message, s.detail, s.x, s.y), expected[i]) << "message " << i;
  }
  gSeen.clear();
}

uint32_t idOf(HWND window) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(window)); }

TEST(ApplicationInput, RecordsOfBothChannelsReachTheWindowOfTheirStream) {
  ComApartment com;
  LogCapture log;
  SettingsFile file;
  file.save();
  // Two streamed windows side by side: 400x300 at (100, 100) with the focus, 300x200 at (600, 100).
  HWND left = createRecordingWindow(WS_POPUP, 100, 100, 400, 300);
  HWND right = createRecordingWindow(WS_POPUP, 600, 100, 300, 200);
  SetForegroundWindow(left);
  SetFocus(left);
  ASSERT_TRUE(pumpUntil([&] { return GetFocus() == left; }));

  quorvane::host::Application app;
  ASSERT_TRUE(app.initialize());
  SignalingClient signaling(file.settings.signalingPort);
  LoopbackClient input, video;
  ASSERT_TRUE(signaling.connect());
  std::vector<uint8_t> ids;
  for (HWND window : {left, right}) {
    signaling.send({{"type", "stream_start"}, {"windowId", idOf(window)}});
    ids.push_back(signaling.next("stream_started")["streamId"].get<uint8_t>());
  }
  ASSERT_TRUE(input.connect(file.settings.inputPort));
  ASSERT_TRUE(video.connect(file.settings.videoPort));

  // Clicks are a press and a release each (a held button would keep the pointer in its
  // window); only presses are compared. Positions where a divisor off by one lands on another
  // pixel: 49151 of 65535 is 299.99 of 400 and 149.99 of 200. The two channels are read on
  // threads of their own: one channel at a time.
  auto click = [&](uint8_t stream, uint16_t x, uint16_t y, uint8_t button) {
    sendRecord(input, InputEvent{stream, 1, 2, x, y, button});
    sendRecord(input, InputEvent{stream, 1, 3, x, y, button});
  };
  auto videoClick = [&](uint8_t stream, uint16_t x, uint16_t y) {
    sendRecord(video, ClientInput{stream, 1, 2, 0, x, y, 0}, 3);
    sendRecord(video, ClientInput{stream, 1, 3, 0, x, y, 0}, 3);
  };
  click(ids[0], 49151, 32768, 0);
  sendRecord(input, InputEvent{ids[0], 1, 4, 100, 100, 0, 0, -240});  // wheel
  sendRecord(input, InputEvent{ids[0], 2, 1, 0, 0, 'K'});             // key down
  sendRecord(input, InputEvent{ids[0], 2, 2, 0, 0, 'K'});             // key up
  sendRecord(input, InputEvent{ids[0], 2, 3, 0x20AC, 0, 'x'});        // the character is x
  click(ids[1], 32768, 49151, 1);                                     // the focus moves right
  // Each batch ends with the pointer on a pixel of its own (1, 1 in a window), and is handled
  // once it is there, so that the windows see it all after its last injection.
  sendRecord(input, InputEvent{ids[1], 1, 1, 219, 328});
  ASSERT_TRUE(waitForPointerAt({601, 101}));
  expectSeen({{left, WM_LBUTTONDOWN, 0, 299, 150},
              {left, WM_LBUTTONUP, 0, 299, 150},
              {left, WM_MOUSEWHEEL, -240, -1, -1},
              {left, WM_KEYDOWN, 'K', -1, -1},
              {left, WM_KEYUP, 'K', -1, -1},
              {left, WM_CHAR, 0x20AC, -1, -1},
              {right, WM_RBUTTONDOWN, 0, 150, 149},
              {right, WM_RBUTTONUP, 0, 150, 149}});

  videoClick(ids[1], 0, 65534);
  sendRecord(video, ClientInput{ids[0], 2, 3, 0, 0x20AC, 0, 0xE4}, 3);  // the character is the code
  videoClick(77, 0, 0);  // no such stream: the window targeted last, with a warning
  sendRecord(video, ClientInput{ids[0], 1, 1, 0, 32932, 219, 0}, 3);
  ASSERT_TRUE(waitForPointerAt({301, 101}));
  expectSeen({{right, WM_LBUTTONDOWN, 0, 0, 199},
              {right, WM_LBUTTONUP, 0, 0, 199},
              {right, WM_CHAR, 0xE4, -1, -1},
              {left, WM_LBUTTONDOWN, 0, 0, 0},
              {left, WM_LBUTTONUP, 0, 0, 0}});
  EXPECT_TRUE(log.contains("Input received for unknown stream 77"));

  signaling.send({{"type", "window_resize"},
                  {"streamId", 0},
                  {"windowId", 0x7ffffff0},
                  {"width", 100},
                  {"height", 100}});
  EXPECT_EQ(signaling.next("window_resized")["success"], false);
  DestroyWindow(left);
  DestroyWindow(right);
}

}  // namespace
