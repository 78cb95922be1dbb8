#include <deque>
#include <filesystem>
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
using quorvane::test::UiHarness;

namespace {

// Theme colours as the back buffer and the draw lists hold them (0xRRGGBB).
constexpr uint32_t kPrimary = 0x7359E5;
constexpr uint32_t kSidebar = 0x0D0D14;
constexpr uint32_t kSuccess = 0x4DD98C;  // also the connected dot
constexpr uint32_t kWarning = 0xF2BF40;
constexpr uint32_t kMuted = 0x73738C;  // also the status bar's idle dot

const char* const kPages[] = {"  Dashboard", "  Streaming", "  Audio", "  Input",
                              "  Settings",  "  Logs",      "  About"};

void openPage(UiHarness& h, size_t page) {
  h.click(ImVec2(h.item(kPages[page]).Min.x + 10, h.item(kPages[page]).GetCenter().y));
  h.moveTo(ImVec2(UiHarness::kWidth - 5, 5));  // off every widget, so that none shows hovered
}

quorvane::protocol::WindowInfo window(uint32_t id, const std::string& title) {
  quorvane::protocol::WindowInfo info;
  info.id = id;
  info.title = title;
  return info;
}

}  // namespace

TEST(UIManager, SidebarSelectsEveryPage) {
  UiHarness h;  // as under Wine: no logo file, no system font
  EXPECT_EQ(h.differing(ImRect(15, 15, 245, h.text("QUORVANE").pos.y - 2), kSidebar), 0);  // no logo drawn
  ImGuiContext* context = ImGui::GetCurrentContext();
  EXPECT_TRUE(h.ui().initialize());
  EXPECT_EQ(ImGui::GetCurrentContext(), context);
  h.ui().updateWindowList({window(1, "Editor - notes.txt"), window(2, "Browser")});
  for (size_t page : {1, 2, 3, 4, 5, 6, 0}) {
    openPage(h, page);
    for (size_t entry = 0; entry < std::size(kPages); ++entry) {
      const ImRect rect = h.item(kPages[entry]);
      EXPECT_TRUE(
          h.showsColor(ImVec2(rect.Min.x + 10, rect.GetCenter().y), entry == page ? kPrimary : kSidebar))
          << "page " << page << ", entry " << entry;
    }
    h.screenshot("page" + std::to_string(page));
  }
}

TEST(UIManager, StatusBarCardsAndAboutPageShowTheRecords) {
  UiHarness h;
  UIManager& ui = h.ui();
  const ImVec2 dot(31, UiHarness::kHeight - 30);
  EXPECT_TRUE(h.showsColor(dot, kMuted));
  EXPECT_EQ(h.colorOf("Waiting for client..."), kMuted);
  EXPECT_EQ(h.colorOf("None"), kWarning);

  ui.systemInfo = SystemInfo{"Test Adapter 9000", 8192, "NVENC", true};
  ui.settings.signalingPort = 1234;
  ui.connectionStatus = ConnectionStatus{true, "Meta Quest", "", 72, 18.0f, 50.0f};
  h.frames();
  EXPECT_TRUE(h.showsColor(dot, kSuccess));
  EXPECT_EQ(h.colorOf("Connected to Meta Quest"), kSuccess);
  EXPECT_EQ(h.colorOf("NVENC"), kSuccess);
  for (const char* row : {"FPS: 72 Latency: 18.0 ms Bitrate: 50.0 Mbps", "Client: Meta Quest",
                          "GPU: Test Adapter 9000", "VRAM: 8192 MB", "WGC: Supported"}) {
    EXPECT_FALSE(h.text(row).text.empty()) << row;
  }
  ui.connectionStatus = ConnectionStatus{};
  h.frames();
  const std::regex endpoints(R"(Signaling: ws://\d+\.\d+\.\d+\.\d+:1234)");
  EXPECT_TRUE(std::regex_search(h.text("Signaling:").text, endpoints)) << h.text("Signaling:").text;
  EXPECT_FALSE(h.text(":9946").text.empty());

  openPage(h, 6);
  for (const char* row : {"Graphics Card: Test Adapter 9000", "Hardware Encoder: NVENC",
                          "Windows Graphics Capture: Supported", "https://quorvane.example"}) {
    EXPECT_FALSE(h.text(row).text.empty()) << row;
  }
}

TEST(UIManager, ShowsTheLogoWhenPresent) {
  std::filesystem::create_directories("assets");
  std::filesystem::copy_file(QH_LOGO_SOURCE, "assets/logo.png",
                             std::filesystem::copy_options::overwrite_existing);
  {
    UiHarness h;
    // Pixels above the word in the sidebar's logo area, inside its rounded corners.
    EXPECT_GT(h.differing(ImRect(15, 15, 245, h.text("QUORVANE").pos.y - 2), kSidebar), 1000);
    openPage(h, 6);
    h.screenshot("about-with-logo");
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
  ui.updateWindowList({window(0x10, "Alpha"), window(0x20, "Beta"), window(0x30, longTitle)});
  h.frames();
  const auto clickRow = [&](int row, std::deque<bool> outcome = {}) {
    results = std::move(outcome);
    h.click(h.item("##item", row).GetCenter());
    h.frames();
  };
  const auto state = [&](int row) {
    const auto run = h.text("Streaming", h.item("##item", row));
    return run.text.empty() ? "Ready" : UiHarness::rgb(run.colors[0]) == kSuccess ? "Streaming" : "?";
  };

  clickRow(0, {true});
  clickRow(1, {false});
  EXPECT_STREQ(state(0), "Streaming");
  EXPECT_STREQ(state(1), "Ready");
  EXPECT_FALSE(h.text("Ready", h.item("##item", 1)).text.empty());
  clickRow(1, {true});
  clickRow(0);
  EXPECT_EQ(starts, (std::vector<std::pair<uint32_t, int>>{{0x10, 1}, {0x20, 2}, {0x20, 3}}));
  EXPECT_EQ(stops, std::vector<int>{1});
  EXPECT_STREQ(state(0), "Ready");

  const ImRect row = h.item("##item", 2);
  const auto title = h.text("Quarterly report", row);
  EXPECT_TRUE(title.text.size() < longTitle.size() && title.text.ends_with("...")) << title.text;
  EXPECT_LE(title.right, title.pos.x + row.GetWidth() - 200);

  // A refresh keeps the streaming row with its stream id and drops the vanished one without a stop.
  ui.updateWindowList({window(0x20, "Beta"), window(0x30, "Gamma")});
  h.frames();
  EXPECT_STREQ(state(0), "Streaming");
  EXPECT_EQ(h.item("##item", 2).GetWidth(), 0.0f);
  clickRow(0);
  EXPECT_EQ(stops, (std::vector<int>{1, 3}));

  // The counter wraps from 255 to 0; a start without a callback spends its id.
  UIManagerTestAccess::nextStreamId(ui) = 255;
  clickRow(0, {true});
  clickRow(1, {true});
  ui.onStartCapture = nullptr;
  clickRow(0);
  clickRow(0);
  EXPECT_STREQ(state(0), "Ready");
  EXPECT_EQ(UIManagerTestAccess::nextStreamId(ui), 2);
  EXPECT_EQ(stops, (std::vector<int>{1, 3, 255}));
  EXPECT_EQ(starts.back(), (std::pair<uint32_t, int>{0x30, 0}));
}

TEST(UIManager, SettingsPagesEditTheRecord) {
  UiHarness h;
  UIManager& ui = h.ui();
  int calls = 0;
  ui.onSettingsChanged = [&](const UISettings& changed) { calls += &changed == &ui.settings; };
  ui.settings.signalingPort = 1111;
  ui.settings.targetBitrate = 22500;

  const auto choose = [&h](const char* list, const char* entry) {
    h.click(list);
    h.frames(2);  // the list opens in the next frame and takes its size in the one after
    h.click(entry);
  };
  // Into the slider's text field with Tab (the first such field on the page), as typed.
  const auto typeBitrate = [&](const char* text) {
    h.click(ImVec2(h.item("##Bitrate").Max.x + 100, h.item("##Bitrate").GetCenter().y));
    h.key(VK_TAB);
    h.type(text);
    h.key(VK_RETURN);
  };
  struct Step {
    size_t page;
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
      {1, [&] { typeBitrate("37"); },
       [](UISettings& s) { s.qualityPreset = 4, s.targetBitrate = 37000, s.maxBitrate = 55500; }},
      // Typed values are held to the slider's range.
      {1, [&] { typeBitrate("-20"); }, [](UISettings& s) { s.targetBitrate = 5000, s.maxBitrate = 7500; }},
      {1, [&] { typeBitrate("99999999"); },
       [](UISettings& s) { s.targetBitrate = 150000, s.maxBitrate = 225000; }},
      {1, [&] { choose("##Codec", "HEVC (H.265)"); }, [](UISettings& s) { s.codec = "hevc"; }},
      {1, [&] { h.click("Low Latency Mode"); }, [](UISettings& s) { s.lowLatencyMode = false; }},
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
      EXPECT_EQ(h.text("Mbps", h.item("##Bitrate")).text, "22 Mbps");
    }
    UISettings expected = ui.settings;
    steps[i].change(expected);
    const int before = calls;
    steps[i].act();
    EXPECT_EQ(ui.settings, expected) << "step " << i;
    EXPECT_EQ(calls > before, steps[i].notifies) << "step " << i;
  }
  EXPECT_EQ(ui.settings.signalingPort, 9876);
}

TEST(UIManager, LogViewKeepsTheLastThousandLinesAndCopiesThem) {
  UiHarness h;
  UIManager& ui = h.ui();
  openPage(h, 5);
  for (int i = 0; i <= 1000; ++i) ui.addLog(2, "line " + std::to_string(i));
  h.click("Copy All");
  std::istringstream copied(UiHarness::clipboard());
  int count = 0;
  for (std::string line; std::getline(copied, line); ++count) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, std::regex(R"(\d\d:\d\d:\d\d\.\d{3} \[INFO\]  line (\d+))")))
        << line;
    ASSERT_EQ(match[1], std::to_string(count + 1));
  }
  EXPECT_EQ(count, 1000);

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

  h.click("Clear Logs");
  h.click("Copy All");
  EXPECT_EQ(UiHarness::clipboard(), "");

  for (int level = 0; level <= 6; ++level) ui.addLog(level, "level " + std::to_string(level));
  h.click("##LogLevel");
  h.frames(2);
  h.click("Warn+");
  for (int level = 0; level <= 6; ++level) {
    EXPECT_EQ(h.text("level " + std::to_string(level)).text.empty(), level < 3) << level;
  }
  EXPECT_EQ(h.colorOf("[WARN]"), 0xFFCC33u);
  EXPECT_EQ(h.colorOf("[???]"), 0xA6A6BFu);
  h.screenshot("logs");

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
  const std::string all = UiHarness::clipboard();
  EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 7);
}
