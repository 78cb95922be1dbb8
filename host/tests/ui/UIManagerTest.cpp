#include <future>
#include <regex>

#include "ui/UiHarness.h"

namespace quorvane::host {
class UIManagerTestAccess {
 public:
  static uint8_t& nextStreamId(UIManager& ui) { return ui.nextStreamId; }
};
}  // namespace quorvane::host

using namespace quorvane::host;
using quorvane::test::UiHarness;

namespace {

// The selected sidebar entry and the sidebar, as the back buffer holds them.
constexpr ImU32 kPrimary = IM_COL32(115, 89, 229, 255);
constexpr ImU32 kSidebar = IM_COL32(13, 13, 20, 255);

const char* const kPages[] = {"  Dashboard", "  Streaming", "  Audio", "  Input",
                              "  Settings",  "  Logs",      "  About"};

quorvane::protocol::WindowInfo window(uint32_t id, const std::string& title) {
  quorvane::protocol::WindowInfo info;
  info.id = id;
  info.title = title;
  return info;
}

class UIManagerTest : public testing::Test {
 protected:
  UiHarness h;
  UIManager& ui = *h.ui;
};

}  // namespace

// As under Wine: no logo file, no system font; the window still draws.
TEST_F(UIManagerTest, PagesAndStatusBarShowTheRecords) {
  const ImVec2 dot(31, UiHarness::kHeight - 30);
  EXPECT_TRUE(h.showsColor(dot, IM_COL32(115, 115, 140, 255)));  // grey
  EXPECT_FALSE(h.text("Waiting for client...").text.empty());

  ui.systemInfo = SystemInfo{"Test Adapter 9000", 8192, "NVENC", true};
  ui.connectionStatus = ConnectionStatus{true, "Meta Quest", "", 72, 18.0f, 50.0f};
  ui.updateWindowList({window(1, "Editor - notes.txt"), window(2, "Browser")});
  h.frames();
  EXPECT_TRUE(h.showsColor(dot, IM_COL32(77, 217, 140, 255)));  // green
  for (const char* row :
       {"Connected to Meta Quest", "FPS: 72 Latency: 18.0 ms Bitrate: 50.0 Mbps", "Client: Meta Quest",
        "GPU: Test Adapter 9000", "Encoder: NVENC", "VRAM: 8192 MB", "WGC: Supported"}) {
    EXPECT_FALSE(h.text(row).text.empty()) << row;
  }

  // The selected entry's colour moves with every page; each page is kept as a screenshot.
  for (size_t page : {1, 2, 3, 4, 5, 0, 6}) {
    h.click(kPages[page]);
    for (size_t entry = 0; entry < std::size(kPages); ++entry) {
      const ImVec2 point(h.item(kPages[entry]).Min.x + 10, h.item(kPages[entry]).GetCenter().y);
      EXPECT_TRUE(h.showsColor(point, entry == page ? kPrimary : kSidebar)) << page << ", entry " << entry;
    }
    h.screenshot("page" + std::to_string(page));
  }
  for (const char* row : {"Graphics Card: Test Adapter 9000", "Hardware Encoder: NVENC",
                          "Windows Graphics Capture: Supported"}) {
    EXPECT_FALSE(h.text(row).text.empty()) << row;
  }
}

TEST_F(UIManagerTest, WindowListStartsAndStopsStreams) {
  std::vector<std::pair<uint32_t, int>> starts;
  std::vector<int> stops;
  bool accept = true;
  ui.onStartCapture = [&](uint32_t window, uint8_t stream) {
    starts.emplace_back(window, stream);
    return accept;
  };
  ui.onStopCapture = [&](uint8_t stream) { stops.push_back(stream); };
  const std::string longTitle = "Quarterly report " + std::string(300, 'W');
  ui.updateWindowList({window(0x10, "Alpha"), window(0x20, "Beta"), window(0x30, longTitle)});
  h.frames();
  const auto streaming = [&](int row) { return !h.text("Streaming", h.item("##item", row)).text.empty(); };

  h.click("##item", 0);
  accept = false;
  h.click("##item", 1);
  EXPECT_TRUE(streaming(0));
  EXPECT_FALSE(streaming(1) || h.text("Ready", h.item("##item", 1)).text.empty());
  accept = true;
  h.click("##item", 1);
  h.click("##item", 0);
  EXPECT_EQ(starts, (std::vector<std::pair<uint32_t, int>>{{0x10, 1}, {0x20, 2}, {0x20, 3}}));
  EXPECT_EQ(stops, std::vector<int>{1});

  const ImRect row = h.item("##item", 2);
  const auto title = h.text("Quarterly report", row);
  EXPECT_TRUE(title.text.size() < longTitle.size() && title.text.ends_with("...")) << title.text;
  EXPECT_LE(title.right, title.pos.x + row.GetWidth() - 200);

  // A refresh keeps the streaming row with its stream id and drops the vanished one without a stop.
  ui.updateWindowList({window(0x20, "Beta"), window(0x30, "Gamma")});
  h.frames();
  EXPECT_TRUE(streaming(0));
  EXPECT_EQ(h.item("##item", 2).GetWidth(), 0.0f);
  h.click("##item", 0);
  EXPECT_EQ(stops, (std::vector<int>{1, 3}));

  // The counter wraps from 255 to 0; a start without a callback spends its id.
  UIManagerTestAccess::nextStreamId(ui) = 255;
  h.click("##item", 0);
  h.click("##item", 1);
  ui.onStartCapture = nullptr;
  h.click("##item", 0);
  h.click("##item", 0);
  EXPECT_FALSE(streaming(0));
  EXPECT_EQ(UIManagerTestAccess::nextStreamId(ui), 2);
  EXPECT_EQ(stops, (std::vector<int>{1, 3, 255}));
  EXPECT_EQ(starts.back(), (std::pair<uint32_t, int>{0x30, 0}));
}

// A streaming row whose window left the list (it closed) ends its stream as a click would, once;
// a row that was not streaming goes silently, and a window that comes back starts Ready.
TEST_F(UIManagerTest, AStreamingWindowThatLeavesTheListIsStoppedOnce) {
  std::vector<int> stops;
  ui.onStartCapture = [](uint32_t, uint8_t) { return true; };
  ui.onStopCapture = [&](uint8_t stream) { stops.push_back(stream); };
  ui.updateWindowList({window(0x10, "Alpha"), window(0x20, "Beta"), window(0x30, "Gamma")});
  h.frames();
  h.click("##item", 0);
  h.click("##item", 2);
  ASSERT_FALSE(h.text("Streaming", h.item("##item", 2)).text.empty());

  ui.updateWindowList({window(0x10, "Alpha")});
  EXPECT_EQ(stops, std::vector<int>{2});
  ui.updateWindowList({window(0x10, "Alpha")});
  ui.updateWindowList({window(0x10, "Alpha"), window(0x30, "Gamma")});
  h.frames();
  EXPECT_EQ(stops, std::vector<int>{2});
  EXPECT_FALSE(h.text("Ready", h.item("##item", 1)).text.empty());
  EXPECT_FALSE(h.text("Streaming", h.item("##item", 0)).text.empty());

  // Without a stop callback the row still goes.
  ui.onStopCapture = nullptr;
  ui.updateWindowList({window(0x30, "Gamma")});
  h.frames();
  EXPECT_EQ(h.item("##item", 1).GetWidth(), 0.0f);
  EXPECT_FALSE(h.text("Ready", h.item("##item", 0)).text.empty());
}

TEST_F(UIManagerTest, SettingsPagesEditTheRecord) {
  int calls = 0;
  ui.onSettingsChanged = [&](const UISettings& changed) { calls += &changed == &ui.settings; };

  // Into the slider's text field with Tab (the first such field on the page), as typed.
  const auto typeBitrate = [&](const std::string& text) {
    h.click(ImVec2(h.item("##Bitrate").Max.x + 100, h.item("##Bitrate").GetCenter().y));
    h.type("\t" + text + "\r");
  };
  struct Step {
    size_t page;
    std::function<void()> act;
    std::function<void(UISettings&)> change;
  };
  const Step steps[] = {
      {1, [&] { h.choose("##QualityPreset", "Low (10 Mbps)"); },
       [](UISettings& s) { s.qualityPreset = 0, s.targetBitrate = 10000, s.maxBitrate = 15000; }},
      {1, [&] { h.choose("##QualityPreset", "Custom"); }, [](UISettings& s) { s.qualityPreset = 4; }},
      {1, [&] { h.click("90 Hz"); }, [](UISettings& s) { s.targetFps = 90; }},
      {1, [&] { typeBitrate("37"); },
       [](UISettings& s) { s.qualityPreset = 4, s.targetBitrate = 37000, s.maxBitrate = 55500; }},
      // Typed values are held to the slider's range.
      {1, [&] { typeBitrate("-20"); }, [](UISettings& s) { s.targetBitrate = 5000, s.maxBitrate = 7500; }},
      {1, [&] { typeBitrate("99999999"); },
       [](UISettings& s) { s.targetBitrate = 150000, s.maxBitrate = 225000; }},
      {1, [&] { h.choose("##Codec", "HEVC (H.265)"); }, [](UISettings& s) { s.codec = "hevc"; }},
      {2, [&] { h.click("Enable Microphone Passthrough"); }, [](UISettings& s) { s.micPassthrough = true; }},
      {3, [&] { h.click("Forward Tracking Data"); }, [](UISettings& s) { s.forwardTracking = true; }},
      {4, [&] { ui.settings.signalingPort = 1111, h.click("Reset to Defaults"); },
       [](UISettings& s) { s = UISettings{}; }},
      {1, [&] { ui.onSettingsChanged = nullptr, h.click("120 Hz"); },
       [](UISettings& s) { s.targetFps = 120; }},
  };
  for (size_t i = 0; i < std::size(steps); ++i) {
    h.click(kPages[steps[i].page]);
    UISettings expected = ui.settings;
    steps[i].change(expected);
    const int before = calls;
    steps[i].act();
    EXPECT_EQ(ui.settings, expected) << "step " << i;
    EXPECT_EQ(calls > before, ui.onSettingsChanged != nullptr) << "step " << i;
  }
}

TEST_F(UIManagerTest, LogViewKeepsTheLastThousandLinesAndCopiesThem) {
  h.click(kPages[5]);
  for (int i = 0; i <= 1000; ++i) ui.addLog(2, "line " + std::to_string(i));
  h.click("Copy All");
  std::string all = UiHarness::clipboard();
  EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 1000);
  const std::string first = all.substr(0, all.find('\n'));
  EXPECT_TRUE(std::regex_match(first, std::regex(R"(\d\d:\d\d:\d\d\.\d{3} \[INFO\]  line 1)"))) << first;
  EXPECT_TRUE(all.ends_with("  line 1000\n"));

  // A thread that logs while the view lays out its lines does not wait for the drawing.
  std::future<void> logging;
  bool loggedWhileDrawing = false;
  h.onItem = [&](const std::string& label) {
    if (label != "##logline" || logging.valid()) return;
    logging = std::async(std::launch::async, [this] { ui.addLog(2, "from another thread"); });
    loggedWhileDrawing = logging.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
  };
  h.frames();
  h.onItem = nullptr;
  EXPECT_TRUE(loggedWhileDrawing);

  // After a clear, one line of each level; Warn+ shows the four from level 3 on, and the first
  // of them is copied by a click and by its menu's entries.
  h.click("Clear Logs");
  for (int level = 0; level <= 6; ++level) ui.addLog(level, "level " + std::to_string(level));
  h.choose("##LogLevel", "Warn+");
  EXPECT_TRUE(h.item("##logline", 3).GetWidth() > 0 && h.item("##logline", 4).GetWidth() == 0);
  h.click("##logline");
  const std::string line = UiHarness::clipboard();
  EXPECT_TRUE(std::regex_match(line, std::regex(R"(\d\d:\d\d:\d\d\.\d{3} \[WARN\]  level 3)"))) << line;
  for (const auto& [entry, copied] :
       {std::pair<std::string, std::string>{"Copy Message Only", "level 3"}, {"Copy", line}}) {
    h.click(h.item("##logline").GetCenter(), true);
    h.frames(2);
    h.click(entry);
    EXPECT_EQ(UiHarness::clipboard(), copied) << entry;
  }
  h.click("Copy All");
  all = UiHarness::clipboard();
  EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 7);
  EXPECT_TRUE(all.ends_with(" [???]   level 6\n")) << all;
}
