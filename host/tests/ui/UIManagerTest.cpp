#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <functional>
#include <future>
#include <regex>
#include <sstream>

#include "ui/UiHarness.h"

namespace quorvane::host {
class UIManagerTestAccess {
 public:
  static uint8_t& nextStreamId(UIManager& ui) { return ui.nextStreamId; }
};
}  // namespace quorvane::host

using namespace quorvane::host;
using namespace quorvane::test;

namespace {

const char* const kPages[] = {"  Dashboard", "  Streaming", "  Audio", "  Input",
                              "  Settings",  "  Logs",      "  About"};

quorvane::protocol::WindowInfo windowInfo(uint32_t id, const std::string& title) {
  quorvane::protocol::WindowInfo info;
  info.id = id;
  info.title = title;
  info.processName = "app" + std::to_string(id) + ".exe";
  return info;
}

bool showsColor(const UiHarness& h, ImVec2 point, uint32_t rgb) {
  return h.countColor(ImRect(point, ImVec2(point.x + 1, point.y + 1)), rgb) == 1;
}

void openPage(UiHarness& h, int page) {
  const ImRect entry = h.item(kPages[page]);
  h.click(ImVec2(entry.Min.x + 10, entry.GetCenter().y));
  h.moveTo(ImVec2(UiHarness::kWidth - 5, 5));  // off every widget, so nothing shows hovered
}

// Colour of the first character of `needle` where it is drawn, as 0xRRGGBB.
uint32_t colorOf(const UiHarness& h, const std::string& needle) {
  const auto run = h.findText(needle);
  const size_t at = run.text.find(needle);
  return at == std::string::npos ? 0xFFFFFFFF : rgbOf(run.colors[at]);
}

}  // namespace

TEST(UIManager, SidebarSelectsEveryPage) {
  UiHarness h;
  ImGuiContext* context = ImGui::GetCurrentContext();
  EXPECT_TRUE(h.ui().initialize());
  EXPECT_EQ(ImGui::GetCurrentContext(), context);

  h.ui().systemInfo = SystemInfo{"Test Adapter 9000", 8192, "NVENC", true};
  h.ui().updateWindowList({windowInfo(1, "Editor - notes.txt"), windowInfo(2, "Browser")});
  for (int page : {1, 2, 3, 4, 5, 6, 0}) {
    openPage(h, page);
    for (int entry = 0; entry < 7; ++entry) {
      const ImRect rect = h.item(kPages[entry]);
      EXPECT_TRUE(showsColor(h, ImVec2(rect.Min.x + 10, rect.GetCenter().y),
                             entry == page ? kRgbPrimary : kRgbSidebar))
          << "page " << page << ", entry " << entry;
    }
    h.screenshot("page" + std::to_string(page));
  }
}

TEST(UIManager, StatusBarAndCardsShowTheirRecords) {
  UiHarness h;
  UIManager& ui = h.ui();
  const ImVec2 dot(31, UiHarness::kHeight - 30);
  h.frames();
  EXPECT_TRUE(showsColor(h, dot, kRgbMuted));
  EXPECT_EQ(colorOf(h, "Waiting for client..."), kRgbMuted);
  EXPECT_EQ(colorOf(h, "None"), kRgbWarning);

  ui.systemInfo = SystemInfo{"Test Adapter 9000", 8192, "NVENC", true};
  ui.settings.signalingPort = 1234;
  h.frames();
  EXPECT_EQ(colorOf(h, "NVENC"), kRgbSuccess);
  const ImRect systemCard = h.childWindow("SystemCard");
  for (const char* row : {"GPU: Test Adapter 9000", "Encoder: NVENC", "VRAM: 8192 MB", "WGC: Supported"}) {
    EXPECT_FALSE(h.findText(row, systemCard).text.empty()) << row;
  }
  const std::regex endpoint(R"(.*Signaling: ws://\d+\.\d+\.\d+\.\d+:1234.*)");
  EXPECT_TRUE(std::regex_match(h.findText("Signaling:").text, endpoint)) << h.findText("Signaling:").text;
  EXPECT_FALSE(h.findText(":9946").text.empty());

  ui.connectionStatus = ConnectionStatus{true, "Meta Quest", "", 72, 18.0f, 50.0f};
  h.frames();
  EXPECT_TRUE(showsColor(h, dot, kRgbSuccess));
  EXPECT_EQ(colorOf(h, "Connected to Meta Quest"), kRgbSuccess);
  EXPECT_FALSE(h.findText("FPS: 72 Latency: 18.0 ms Bitrate: 50.0 Mbps").text.empty());
  EXPECT_FALSE(h.findText("Client: Meta Quest", h.childWindow("ConnectionCard")).text.empty());

  openPage(h, 6);
  for (const char* row : {"Graphics Card: Test Adapter 9000", "VRAM: 8192 MB", "Hardware Encoder: NVENC",
                          "Windows Graphics Capture: Supported", "https://quorvane.example"}) {
    EXPECT_FALSE(h.findText(row).text.empty()) << row;
  }
}

TEST(UIManager, DrawsWithoutLogoOrSystemFontAndShowsLogoWhenPresent) {
  const auto logoArea = [](const UiHarness& h) {
    const ImRect area = h.childWindow("LogoArea");  // the sidebar's corners are rounded
    return ImRect(ImVec2(area.Min.x + 15, area.Min.y + 15),
                  ImVec2(area.Max.x - 15, h.findText("QUORVANE").pos.y - 2));
  };
  {
    UiHarness h;
    const ImRect area = logoArea(h);
    ASSERT_GT(area.GetHeight(), 20.0f);
    EXPECT_EQ(h.countColor(area, kRgbSidebar), static_cast<int>(area.GetWidth() * area.GetHeight()));
    h.resize(200, 400);
    h.frames();
    EXPECT_TRUE(showsColor(h, ImVec2(10, 300), kRgbSidebar));
  }
  std::filesystem::create_directories("assets");
  std::filesystem::copy_file(QH_LOGO_SOURCE, "assets/logo.png",
                             std::filesystem::copy_options::overwrite_existing);
  {
    UiHarness h;
    const ImRect area = logoArea(h);
    EXPECT_GT(area.GetWidth() * area.GetHeight() - h.countColor(area, kRgbSidebar), 1000);
  }
  std::filesystem::remove_all("assets");
}

TEST(UIManager, WindowListStartsAndStopsStreams) {
  UiHarness h;
  UIManager& ui = h.ui();
  std::vector<std::pair<uint32_t, int>> starts;
  std::vector<int> stops;
  std::deque<bool> results;
  ui.onStartCapture = [&](uint32_t window, uint8_t stream) {
    starts.emplace_back(window, stream);
    const bool result = results.front();
    results.pop_front();
    return result;
  };
  ui.onStopCapture = [&](uint8_t stream) { stops.push_back(stream); };
  const std::string longTitle = "Quarterly report " + std::string(300, 'W');
  ui.updateWindowList({windowInfo(0x10, "Alpha"), windowInfo(0x20, "Beta"), windowInfo(0x30, longTitle)});
  h.frames();

  const auto clickRow = [&](int row, std::deque<bool> outcome = {}) {
    results = std::move(outcome);
    h.click(h.item("##item", row).GetCenter());
    h.frames();
  };
  const auto state = [&](int row) {
    for (const char* word : {"Streaming", "Ready"}) {
      const auto run = h.findText(word, h.item("##item", row));
      if (!run.text.empty())
        return std::string(word) + (rgbOf(run.colors[0]) == kRgbSuccess ? "/success" : "");
    }
    return std::string("none");
  };

  clickRow(0, {true});
  clickRow(1, {false});
  EXPECT_EQ(state(0), "Streaming/success");
  EXPECT_EQ(state(1), "Ready");
  clickRow(1, {true});
  clickRow(0);
  EXPECT_EQ(starts, (std::vector<std::pair<uint32_t, int>>{{0x10, 1}, {0x20, 2}, {0x20, 3}}));
  EXPECT_EQ(stops, std::vector<int>{1});
  EXPECT_EQ(state(0), "Ready");

  // A title wider than the row less 200 pixels is cut to fit and ends in "...".
  const ImRect row = h.item("##item", 2);
  const auto title = h.findText("Quarterly report", row);
  EXPECT_TRUE(title.text.size() < longTitle.size() && title.text.ends_with("...")) << title.text;
  EXPECT_LE(title.right, title.pos.x + row.GetWidth() - 200);

  // A refresh keeps the streaming row and drops the vanished one without a stop.
  ui.updateWindowList({windowInfo(0x20, "Beta"), windowInfo(0x30, "Gamma")});
  h.frames();
  EXPECT_EQ(state(0), "Streaming/success");
  EXPECT_EQ(h.item("##item", 2).GetWidth(), 0.0f);
  EXPECT_EQ(stops.size(), 1u);
  clickRow(0);
  EXPECT_EQ(stops, (std::vector<int>{1, 3}));

  // The counter wraps from 255 to 0; a start without a callback spends its id.
  UIManagerTestAccess::nextStreamId(ui) = 255;
  clickRow(0, {true});
  clickRow(1, {true});
  ui.onStartCapture = nullptr;
  clickRow(0);
  clickRow(0);
  EXPECT_EQ(state(0), "Ready");
  EXPECT_EQ(UIManagerTestAccess::nextStreamId(ui), 2);
  EXPECT_EQ(stops, (std::vector<int>{1, 3, 255}));
  EXPECT_EQ(starts.back(), (std::pair<uint32_t, int>{0x30, 0}));
  h.screenshot("window-list");
}

TEST(UIManager, SettingsPagesEditTheRecord) {
  UiHarness h;
  UIManager& ui = h.ui();
  int calls = 0;
  ui.onSettingsChanged = [&](const UISettings& changed) {
    ++calls;
    EXPECT_EQ(&changed, &ui.settings);
  };
  ui.settings.signalingPort = 1111;
  ui.settings.targetBitrate = 22500;

  const auto choose = [&h](const char* list, const char* entry) {
    h.click(list);
    h.frames(2);  // the list opens in the next frame and takes its size in the one after
    h.click(entry);
  };
  const auto dragBitrateTo = [&](int mbps) {
    const ImRect slider = h.item("##Bitrate");
    float low = slider.Min.x;
    float high = slider.Max.x;
    h.moveTo(ImVec2(low + 1, slider.GetCenter().y));
    h.mouseButton(true);
    for (int i = 0; i < 16 && ui.settings.targetBitrate != mbps * 1000; ++i) {
      const float middle = (low + high) / 2;
      h.moveTo(ImVec2(middle, slider.GetCenter().y));
      (ui.settings.targetBitrate < mbps * 1000 ? low : high) = middle;
    }
    h.mouseButton(false);
  };
  const auto typeBitrate = [&](const char* text) {
    h.click(ImVec2(h.item("##Bitrate").Max.x + 100, h.item("##Bitrate").GetCenter().y));
    h.key(VK_TAB);
    h.type(text);
    h.key(VK_RETURN);
  };

  struct Step {
    int page;
    std::function<void()> act;
    std::function<void(UISettings&)> change;
    bool notifies = true;
  };
  const Step steps[] = {
      {1, [&] { choose("##QualityPreset", "Low (10 Mbps)"); },
       [](UISettings& s) { s.qualityPreset = 0, s.targetBitrate = 10000, s.maxBitrate = 15000; }},
      {1, [&] { choose("##QualityPreset", "Custom"); }, [](UISettings& s) { s.qualityPreset = 4; }},
      {1, [&] { h.click("90 Hz"); }, [](UISettings& s) { s.targetFps = 90; }},
      {1, [&] { h.click("90 Hz"); }, [](UISettings&) {}},
      {1, [&] { dragBitrateTo(37); },
       [](UISettings& s) { s.qualityPreset = 4, s.targetBitrate = 37000, s.maxBitrate = 55500; }},
      {1, [&] { typeBitrate("-20"); }, [](UISettings& s) { s.targetBitrate = 5000, s.maxBitrate = 7500; }},
      {1, [&] { typeBitrate("99999999"); },
       [](UISettings& s) { s.targetBitrate = 150000, s.maxBitrate = 225000; }},
      {1, [&] { choose("##Codec", "HEVC (H.265)"); }, [](UISettings& s) { s.codec = "hevc"; }},
      {1, [&] { h.click("Low Latency Mode"); }, [](UISettings& s) { s.lowLatencyMode = false; }},
      {1, [&] { h.click("Enable Sharpening (CAS)"); }, [](UISettings& s) { s.sharpeningEnabled = true; }},
      {1, [&] { h.click("Full Range Color"); }, [](UISettings& s) { s.fullRangeColor = true; }},
      {2, [&] { h.click("Enable Microphone Passthrough"); }, [](UISettings& s) { s.micPassthrough = true; }},
      {2, [&] { h.click("Noise Cancellation"); }, [](UISettings& s) { s.noiseCancellation = false; }},
      {3, [&] { h.click("Forward Tracking Data"); }, [](UISettings& s) { s.forwardTracking = true; }},
      {4, [&] { h.click("Start with Windows"); }, [](UISettings&) {}, false},
      {4, [&] { h.click("Reset to Defaults"); }, [](UISettings& s) { s = UISettings{}; }},
      {1, [&] { ui.onSettingsChanged = nullptr, h.click("120 Hz"); },
       [](UISettings& s) { s.targetFps = 120; }, false},
  };
  for (size_t i = 0; i < std::size(steps); ++i) {
    openPage(h, steps[i].page);
    if (i == 0) {
      EXPECT_EQ(h.findText("Mbps", h.item("##Bitrate")).text, "22 Mbps");
    }
    UISettings expected = ui.settings;
    steps[i].change(expected);
    const int before = calls;
    steps[i].act();
    EXPECT_EQ(ui.settings, expected) << "step " << i;
    EXPECT_EQ(calls > before, steps[i].notifies) << "step " << i;
  }
  openPage(h, 1);
  EXPECT_EQ(h.item("##Sharpness").GetWidth(), 0.0f);
  EXPECT_EQ(ui.settings.signalingPort, 9876);
}

TEST(UIManager, LogViewKeepsTheLastThousandLinesAndCopies) {
  UiHarness h;
  UIManager& ui = h.ui();
  openPage(h, 5);
  for (int i = 0; i <= 1000; ++i) {
    ui.addLog(2, "line " + std::to_string(i));
  }
  h.frames(2);
  h.click("Copy All");
  std::istringstream copied(UiHarness::clipboard());
  std::vector<std::string> lines;
  for (std::string line; std::getline(copied, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 1000u);
  const std::regex form(R"(\d\d:\d\d:\d\d\.\d{3} \[INFO\]  line (\d+))");
  for (size_t i = 0; i < lines.size(); ++i) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[i], match, form)) << lines[i];
    ASSERT_EQ(match[1], std::to_string(i + 1));
  }

  // A thread that logs while the view draws its lines does not wait for the drawing.
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

  // Auto-scroll follows new lines at the bottom only.
  EXPECT_FALSE(h.findText("line 1000").text.empty());
  h.moveTo(h.childWindow("LogScroll").GetCenter());
  h.wheel(5);
  ui.addLog(2, "line 1001");
  h.frames(2);
  EXPECT_TRUE(h.findText("line 1001").text.empty());
  h.wheel(-100);
  ui.addLog(2, "line 1002");
  h.frames(2);
  EXPECT_FALSE(h.findText("line 1002").text.empty());

  h.click("Clear Logs");
  h.click("Copy All");
  EXPECT_EQ(UiHarness::clipboard(), "");

  for (int level = 0; level <= 6; ++level) {
    ui.addLog(level, "level " + std::to_string(level));
  }
  h.click("##LogLevel");
  h.frames(2);
  h.click("Warn+");
  h.frames();
  for (int level = 0; level <= 6; ++level) {
    EXPECT_EQ(h.findText("level " + std::to_string(level)).text.empty(), level < 3) << level;
  }
  EXPECT_EQ(colorOf(h, "[WARN]"), 0xFFCC33u);
  EXPECT_EQ(colorOf(h, "[???]"), 0xA6A6BFu);
  h.screenshot("logs");

  const std::regex warnLine(R"(\d\d:\d\d:\d\d\.\d{3} \[WARN\]  level 3)");
  h.click("##logline");
  EXPECT_TRUE(std::regex_match(UiHarness::clipboard(), warnLine)) << UiHarness::clipboard();
  UiHarness::setClipboard("");
  h.click(h.item("##logline").GetCenter(), true);
  h.frames(2);
  h.click("Copy Message Only");
  EXPECT_EQ(UiHarness::clipboard(), "level 3");
  h.click(h.item("##logline").GetCenter(), true);
  h.frames(2);
  h.click("Copy");
  EXPECT_TRUE(std::regex_match(UiHarness::clipboard(), warnLine)) << UiHarness::clipboard();
  h.click("Copy All");
  const std::string all = UiHarness::clipboard();
  EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 7);
}
