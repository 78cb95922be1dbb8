#include <algorithm>
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

TEST(UIManager, WindowListStartsAndStopsStreams) {
  UiHarness h;
  EXPECT_GT(ImGui::GetDrawData()->TotalVtxCount, 0);  // without logo file or system font, as under Wine
  UIManager& ui = h.ui();
  std::vector<std::pair<uint32_t, int>> starts;
  std::vector<int> stops;
  bool accept = true;
  ui.onStartCapture = [&](uint32_t window, uint8_t stream) {
    starts.emplace_back(window, stream);
    return accept;
  };
  ui.onStopCapture = [&](uint8_t stream) { stops.push_back(stream); };
  std::vector<quorvane::protocol::WindowInfo> list(3);
  for (uint32_t i = 0; i < 3; ++i) list[i].id = 0x10 * (i + 1);
  ui.updateWindowList(list);
  h.frames();

  // A refused start spends its id; clicking a streaming row stops its stream.
  h.click("##item", 0);
  accept = false;
  h.click("##item", 1);
  accept = true;
  h.click("##item", 1);
  h.click("##item", 0);
  EXPECT_EQ(starts, (std::vector<std::pair<uint32_t, int>>{{0x10, 1}, {0x20, 2}, {0x20, 3}}));
  EXPECT_EQ(stops, std::vector<int>{1});

  // A refresh keeps the streaming row with its stream id and drops the vanished one without a stop.
  list.erase(list.begin());
  ui.updateWindowList(list);
  h.frames();
  EXPECT_EQ(h.item("##item", 2).GetWidth(), 0.0f);
  h.click("##item", 0);
  EXPECT_EQ(stops, (std::vector<int>{1, 3}));

  // The counter wraps from 255 to 0; a start without a callback spends its id and starts
  // nothing (the next click starts again rather than stops).
  UIManagerTestAccess::nextStreamId(ui) = 255;
  h.click("##item", 0);
  h.click("##item", 1);
  ui.onStartCapture = nullptr;
  h.click("##item", 0);
  h.click("##item", 0);
  h.click("##item", 0);
  EXPECT_EQ(UIManagerTestAccess::nextStreamId(ui), 3);
  EXPECT_EQ(stops, (std::vector<int>{1, 3, 255}));
  EXPECT_EQ(starts.back(), (std::pair<uint32_t, int>{0x30, 0}));
}

TEST(UIManager, SettingsPagesEditTheRecord) {
  UiHarness h;
  UIManager& ui = h.ui();
  int calls = 0;
  ui.onSettingsChanged = [&](const UISettings& changed) { calls += &changed == &ui.settings; };

  // Into the slider's text field with Tab (the first such field on the page), as typed.
  const auto typeBitrate = [&](const char* text) {
    h.click(ImVec2(h.item("##Bitrate").Max.x + 100, h.item("##Bitrate").GetCenter().y));
    h.key(VK_TAB);
    h.type(text);
    h.key(VK_RETURN);
  };
  struct Step {
    const char* page;
    std::function<void()> act;
    std::function<void(UISettings&)> change;
    bool notifies = true;
  };
  const char* const video = "  Streaming";
  const Step steps[] = {
      {video, [&] { h.choose("##QualityPreset", "Low (10 Mbps)"); },
       [](UISettings& s) { s.qualityPreset = 0, s.targetBitrate = 10000, s.maxBitrate = 15000; }},
      // Typed values are held to the slider's range.
      {video, [&] { typeBitrate("-20"); },
       [](UISettings& s) { s.qualityPreset = 4, s.targetBitrate = 5000, s.maxBitrate = 7500; }},
      {video, [&] { typeBitrate("99999999"); },
       [](UISettings& s) { s.targetBitrate = 150000, s.maxBitrate = 225000; }},
      {video, [&] { h.choose("##QualityPreset", "Custom"); }, [](UISettings&) {}},
      {video, [&] { h.click("90 Hz"); }, [](UISettings& s) { s.targetFps = 90; }},
      {video, [&] { h.choose("##Codec", "HEVC (H.265)"); }, [](UISettings& s) { s.codec = "hevc"; }},
      {"  Audio", [&] { h.click("Enable Microphone Passthrough"); },
       [](UISettings& s) { s.micPassthrough = true; }},
      {"  Input", [&] { h.click("Forward Tracking Data"); }, [](UISettings& s) { s.forwardTracking = true; }},
      {"  Settings", [&] { h.click("Reset to Defaults"); }, [](UISettings& s) { s = UISettings{}; }},
      {video, [&] { ui.onSettingsChanged = nullptr, h.click("120 Hz"); },
       [](UISettings& s) { s.targetFps = 120; }, false},
  };
  for (size_t i = 0; i < std::size(steps); ++i) {
    h.click(steps[i].page);
    UISettings expected = ui.settings;
    steps[i].change(expected);
    const int before = calls;
    steps[i].act();
    EXPECT_EQ(ui.settings, expected) << "step " << i;
    EXPECT_EQ(calls > before, steps[i].notifies) << "step " << i;
  }
}

TEST(UIManager, LogViewKeepsTheLastThousandLinesAndCopiesThem) {
  UiHarness h;
  UIManager& ui = h.ui();
  h.click("  Logs");
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
    logging = std::async(std::launch::async, [&ui] { ui.addLog(2, "from another thread"); });
    loggedWhileDrawing = logging.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
  };
  h.frames();
  h.onItem = nullptr;
  EXPECT_TRUE(loggedWhileDrawing);

  // After a clear: one line of each level, shown from Warn on; copied whole or as message only.
  h.click("Clear Logs");
  for (int level = 0; level <= 6; ++level) ui.addLog(level, "level " + std::to_string(level));
  h.choose("##LogLevel", "Warn+");
  EXPECT_GT(h.item("##logline", 3).GetWidth(), 0.0f);  // the four lines from level 3 (copied below) on
  EXPECT_EQ(h.item("##logline", 4).GetWidth(), 0.0f);
  const std::regex warnLine(R"(\d\d:\d\d:\d\d\.\d{3} \[WARN\]  level 3)");
  h.click("##logline");
  EXPECT_TRUE(std::regex_match(UiHarness::clipboard(), warnLine)) << UiHarness::clipboard();
  for (const std::string entry : {"Copy Message Only", "Copy"}) {
    h.click(h.item("##logline").GetCenter(), true);
    h.frames(2);
    h.click(entry);
    const std::string copied = UiHarness::clipboard();
    EXPECT_TRUE(entry == "Copy" ? std::regex_match(copied, warnLine) : copied == "level 3") << copied;
  }
  h.click("Copy All");
  all = UiHarness::clipboard();
  EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 7);
  EXPECT_NE(all.find("[???]   level 6\n"), std::string::npos);
}
