#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "app/Settings.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

using quorvane::host::Settings;
namespace fs = std::filesystem;

namespace {

// Gives every test an empty settings folder. Natively LOCALAPPDATA points at a temporary
// folder; on Windows the shell's own folder is used and a settings file found there is put
// back afterwards.
class SettingsFile : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef _WIN32
    env_.emplace("LOCALAPPDATA", temp_.path().string());
#endif
    path_ = Settings{}.getSettingsPath();
    if (fs::exists(path_)) backup_ = read();
    clear();
  }
  void TearDown() override {
    clear();
    if (backup_) write(*backup_);
  }
  void clear() const {
    std::error_code ec;
    fs::remove_all(path_, ec);
    fs::remove_all(path_.string() + ".tmp", ec);
  }
  std::string read() const {
    std::stringstream ss;
    ss << std::ifstream(path_).rdbuf();
    return ss.str();
  }
  void write(const std::string& text) const { std::ofstream(path_) << text; }
  // Writes `text` and loads it into `s`.
  bool load(Settings& s, const std::string& text) const {
    write(text);
    return s.load();
  }

  quorvane::test::TempDir temp_;
  std::optional<quorvane::test::ScopedEnv> env_;
  fs::path path_;
  std::optional<std::string> backup_;
};

TEST_F(SettingsFile, SavesTheExactTextAndLoadsEveryFieldBack) {
  EXPECT_EQ(path_.filename(), "settings.json");
  EXPECT_EQ(path_.parent_path().filename(), "Quorvane");
  Settings s;
  ASSERT_TRUE(s.save());
  EXPECT_EQ(
      read(),
      "{\n    \"audioPort\": 9945,\n    \"fullRangeColor\": false,\n    \"inputPort\": 9946,\n"
      "    \"maxBitrate\": 50000,\n    \"preferredEncoder\": \"nvenc\",\n    \"sharpeningEnabled\": false,\n"
      "    \"sharpness\": 0.699999988079071,\n    \"signalingPort\": 9876,\n    \"targetBitrate\": 20000,\n"
      "    \"targetFps\": 72,\n    \"videoPort\": 9944,\n    \"vsyncEnabled\": false\n}");

  // Every field away from its default: each is written under its own key and read back.
  const Settings changed{1, 2, 3, 4, 5, 6, 7, "amf \xC3\xA9", true, 0.5f, true, true};
  ASSERT_TRUE(Settings(changed).save());
  EXPECT_NE(read().find("    \"preferredEncoder\": \"amf \xC3\xA9\",\n"), std::string::npos) << "raw UTF-8";
  EXPECT_NE(read().find("    \"sharpness\": 0.5,\n"), std::string::npos);
  Settings loaded;
  ASSERT_TRUE(loaded.load());
  EXPECT_EQ(std::tie(loaded.signalingPort, loaded.videoPort, loaded.audioPort, loaded.inputPort),
            std::tuple(1, 2, 3, 4));
  EXPECT_EQ(std::tie(loaded.targetBitrate, loaded.maxBitrate, loaded.targetFps), std::tuple(5u, 6u, 7u));
  EXPECT_EQ(std::tie(loaded.preferredEncoder, loaded.sharpeningEnabled, loaded.sharpness, loaded.vsyncEnabled,
                     loaded.fullRangeColor),
            std::tuple("amf \xC3\xA9", true, 0.5f, true, true));
  loaded.sharpness = 1.0f;
  ASSERT_TRUE(loaded.save());
  EXPECT_NE(read().find("\"sharpness\": 1.0,"), std::string::npos);
}

TEST(SettingsDefaults, EveryFieldStartsAtItsDefaultAndSetDefaultsRestoresIt) {
  const auto fields = [](const Settings& s) {
    return std::tuple(s.signalingPort, s.videoPort, s.audioPort, s.inputPort, s.targetBitrate, s.maxBitrate,
                      s.targetFps, s.preferredEncoder, s.sharpeningEnabled, s.sharpness, s.vsyncEnabled,
                      s.fullRangeColor);
  };
  const auto defaults = std::tuple<uint16_t, uint16_t, uint16_t, uint16_t, uint32_t, uint32_t, uint32_t,
                                   std::string, bool, float, bool, bool>(
      9876, 9944, 9945, 9946, 20000, 50000, 72, "nvenc", false, 0.7f, false, false);
  EXPECT_EQ(fields(Settings{}), defaults);
  Settings changed{1, 2, 3, 4, 5, 6, 7, "amf", true, 0.25f, true, true};
  changed.setDefaults();
  EXPECT_EQ(fields(changed), defaults);
}

TEST_F(SettingsFile, LoadAssignsWhatTheFileHoldsUpToAFailingKey) {
  Settings s;
  EXPECT_FALSE(s.load()) << "no file";
  ASSERT_TRUE(load(s, "{\"targetFps\": 90}"));
  EXPECT_EQ(std::tie(s.targetFps, s.videoPort), std::tuple(90u, 9944));
  // Non-object roots and trailing values load and change nothing further.
  for (const char* text :
       {"[1, 2]", "42", "\"x\"", "null", "{}", "{\"targetFps\": 60} {\"targetFps\": 30}"}) {
    EXPECT_TRUE(load(s, text)) << text;
  }
  EXPECT_EQ(s.targetFps, 60u);
  s.videoPort = 1000;
  s.audioPort = 2000;
  ASSERT_TRUE(load(s,
                   "{\"videoPort\": 65536, \"audioPort\": -1, \"targetFps\": 72.9, \"maxBitrate\": true,"
                   " \"sharpness\": false, \"unknown\": [1]}"));
  EXPECT_EQ(std::tie(s.videoPort, s.audioPort, s.targetFps, s.maxBitrate, s.sharpness),
            std::tuple(9944, 9945, 72u, 1u, 0.0f))
      << "ports outside 1 to 65535 get their defaults";
  ASSERT_TRUE(load(s, "{\"targetFps\": 0}"));  // would divide by zero downstream: the default
  EXPECT_EQ(s.targetFps, 72u);

  // A key of the wrong kind fails the load; the keys before it keep their new values.
  Settings partial;
  EXPECT_FALSE(load(partial,
                    "{\"signalingPort\": 1000, \"maxBitrate\": 7, \"sharpness\": 0.25,"
                    " \"preferredEncoder\": \"amf\", \"sharpeningEnabled\": true, \"vsyncEnabled\": 1,"
                    " \"fullRangeColor\": true}"));
  EXPECT_EQ(std::tie(partial.signalingPort, partial.maxBitrate, partial.preferredEncoder,
                     partial.sharpeningEnabled, partial.sharpness, partial.fullRangeColor),
            std::tuple(1000, 7u, "amf", true, 0.25f, false));
  for (const char* text : {"", "{ // comment\n}", "{\"videoPort\": \"9944\"}", "{\"preferredEncoder\": 1}",
                           "{\"targetBitrate\": 1e300}", "{\"sharpness\": 1e39}"}) {
    Settings fresh;
    EXPECT_FALSE(load(fresh, text)) << text;
  }
}

// A port the host cannot listen on is not narrowed to 16 bits: the field gets its default with a
// warning that names the key and the value, and the rest of the file loads. The file stays as
// it was.
TEST_F(SettingsFile, APortOutsideOneTo65535GetsItsDefaultWithAWarning) {
  quorvane::test::LogCapture log;
  const std::tuple<const char*, uint16_t> cases[] = {
      {"65536", 9944},   {"-1", 9944},   {"70000", 9944},  {"0", 9944},    {"4294967296", 9944},
      {"65536.0", 9944}, {"-1.5", 9944}, {"0.5", 9944},    {"-0.0", 9944}, {"false", 9944},
      {"65535", 65535},  {"1", 1},       {"9000.9", 9000}, {"true", 1}};
  for (const auto& [value, loaded] : cases) {
    SCOPED_TRACE(value);
    log.clear();
    Settings s;
    s.videoPort = 1234;
    const std::string text = std::string("{\"videoPort\": ") + value + ", \"targetFps\": 90}";
    ASSERT_TRUE(load(s, text));
    EXPECT_EQ(std::tie(s.videoPort, s.targetFps), std::tuple(loaded, 90u));
    const std::string warning = std::string("videoPort ") + value + " in the settings file is not a port";
    EXPECT_EQ(log.count(warning), loaded == 9944 ? 1u : 0u);
    EXPECT_EQ(log.countFrom(spdlog::level::warn), loaded == 9944 ? 1u : 0u);
    EXPECT_EQ(read(), text);
  }

  log.clear();
  Settings s{1, 2, 3, 4, 5, 6, 7, "amf", false, 0.5f, false, false};
  ASSERT_TRUE(load(s,
                   "{\"signalingPort\": 65536, \"videoPort\": -1, \"audioPort\": 70000, \"inputPort\": 0,"
                   " \"maxBitrate\": 8}"));
  EXPECT_EQ(std::tie(s.signalingPort, s.videoPort, s.audioPort, s.inputPort, s.maxBitrate),
            std::tuple(9876, 9944, 9945, 9946, 8u));
  for (const char* warning :
       {"signalingPort 65536 in the settings file is not a port (1 to 65535), using 9876",
        "videoPort -1 in the settings file is not a port (1 to 65535), using 9944",
        "audioPort 70000 in the settings file is not a port (1 to 65535), using 9945",
        "inputPort 0 in the settings file is not a port (1 to 65535), using 9946"}) {
    EXPECT_TRUE(log.hasLine(spdlog::level::warn, warning)) << warning;
  }
}

// A member of the wrong kind still fails the load, and the message says which member it was.
TEST_F(SettingsFile, AMemberOfTheWrongKindIsNamedInTheFailure) {
  quorvane::test::LogCapture log;
  const std::tuple<const char*, const char*> cases[] = {
      {"{\"videoPort\": \"9944\"}",
       "videoPort: [json.exception.type_error.302] type must be number, but is string"},
      {"{\"targetFps\": null}",
       "targetFps: [json.exception.type_error.302] type must be number, but is null"},
      {"{\"preferredEncoder\": 1}",
       "preferredEncoder: [json.exception.type_error.302] type must be string, but is number"},
      {"{\"vsyncEnabled\": 1}",
       "vsyncEnabled: [json.exception.type_error.302] type must be boolean, but is number"}};
  for (const auto& [text, message] : cases) {
    log.clear();
    Settings s;
    EXPECT_FALSE(load(s, text)) << text;
    EXPECT_TRUE(log.hasLine(spdlog::level::err, std::string("Failed to load settings: ") + message)) << text;
    EXPECT_EQ(read(), text);
  }
}

TEST_F(SettingsFile, FailedSaveLeavesThePreviousFile) {
  Settings s;
  ASSERT_TRUE(s.save());
  const std::string before = read();
  // A folder where the temporary file would go, then text that cannot be serialised.
  fs::create_directories(path_.string() + ".tmp");
  s.targetFps = 44;
  EXPECT_FALSE(s.save());
  fs::remove_all(path_.string() + ".tmp");
  s.preferredEncoder = "\xFF\xFE";
  EXPECT_FALSE(s.save());
  EXPECT_EQ(read(), before);
  EXPECT_FALSE(fs::exists(path_.string() + ".tmp"));
  // The settings path is a folder: the replace fails, nothing is left behind.
  fs::remove(path_);
  fs::create_directories(path_ / "in-the-way");
  s.preferredEncoder = "nvenc";
  EXPECT_FALSE(s.save());
  EXPECT_TRUE(fs::is_directory(path_));
  EXPECT_FALSE(fs::exists(path_.string() + ".tmp"));
}

}  // namespace
