#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "app/Settings.h"
#include "support/TempDir.h"

using quorvane::host::Settings;
namespace fs = std::filesystem;

namespace {

// Gives every test an empty settings folder. Natively LOCALAPPDATA points at a
// temporary folder; on Windows the shell's own local application-data folder is used,
// and any settings file found there is put back afterwards.
class SettingsFile : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef _WIN32
    env_.emplace("LOCALAPPDATA", temp_.path().string());
#endif
    path_ = Settings{}.getSettingsPath();
    if (fs::exists(path_)) {
      backup_ = read();
    }
    std::error_code ec;
    fs::remove(path_, ec);
    fs::remove_all(path_.string() + ".tmp", ec);
  }

  void TearDown() override {
    std::error_code ec;
    fs::remove_all(path_, ec);
    fs::remove_all(path_.string() + ".tmp", ec);
    if (backup_) {
      write(*backup_);
    }
  }

  // Text as the settings code reads and writes it (text mode).
  std::string read() const {
    std::ifstream in(path_);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  void write(const std::string& text) const {
    std::ofstream out(path_);
    out << text;
  }

  quorvane::test::TempDir temp_;
  std::optional<quorvane::test::ScopedEnv> env_;
  fs::path path_;
  std::optional<std::string> backup_;
};

const char* const kDefaultText =
    "{\n"
    "    \"audioPort\": 9945,\n"
    "    \"fullRangeColor\": false,\n"
    "    \"inputPort\": 9946,\n"
    "    \"maxBitrate\": 50000,\n"
    "    \"preferredEncoder\": \"nvenc\",\n"
    "    \"sharpeningEnabled\": false,\n"
    "    \"sharpness\": 0.699999988079071,\n"
    "    \"signalingPort\": 9876,\n"
    "    \"targetBitrate\": 20000,\n"
    "    \"targetFps\": 72,\n"
    "    \"videoPort\": 9944,\n"
    "    \"vsyncEnabled\": false\n"
    "}";

}  // namespace

TEST_F(SettingsFile, SavesTheExactFileText) {
  EXPECT_EQ(path_.filename(), "settings.json");
  EXPECT_EQ(path_.parent_path().filename(), "Quorvane");

  Settings s;
  ASSERT_TRUE(s.save());
  EXPECT_EQ(read(), kDefaultText);

  s.signalingPort = 1;
  s.sharpness = 0.5f;
  s.preferredEncoder = "amf \xC3\xA9";  // written as raw UTF-8
  s.vsyncEnabled = true;
  s.targetFps = 90;
  ASSERT_TRUE(s.save());
  const std::string text = read();
  EXPECT_NE(text.find("    \"sharpness\": 0.5,\n"), std::string::npos) << text;
  EXPECT_NE(text.find("    \"preferredEncoder\": \"amf \xC3\xA9\",\n"), std::string::npos) << text;
  EXPECT_NE(text.find("    \"signalingPort\": 1,\n"), std::string::npos) << text;
  EXPECT_NE(text.find("    \"targetFps\": 90,\n"), std::string::npos) << text;
  EXPECT_EQ(text.substr(text.size() - 26), "    \"vsyncEnabled\": true\n}");

  s.sharpness = 1.0f;
  ASSERT_TRUE(s.save());
  EXPECT_NE(read().find("\"sharpness\": 1.0,"), std::string::npos);

  // What was saved loads back unchanged.
  Settings loaded;
  loaded.sharpness = 0.1f;
  ASSERT_TRUE(loaded.load());
  EXPECT_EQ(loaded.signalingPort, 1);
  EXPECT_EQ(loaded.preferredEncoder, "amf \xC3\xA9");
  EXPECT_TRUE(loaded.vsyncEnabled);
  EXPECT_FLOAT_EQ(loaded.sharpness, 1.0f);
}

TEST_F(SettingsFile, LoadAssignsOnlyWhatTheFileHolds) {
  Settings s;
  EXPECT_FALSE(s.load()) << "no file";

  write("{\"targetFps\": 90}");
  ASSERT_TRUE(s.load());
  EXPECT_EQ(s.targetFps, 90u);
  EXPECT_EQ(s.videoPort, 9944);

  // Non-object roots and trailing values load and change nothing further.
  for (const char* text :
       {"[1, 2]", "42", "\"x\"", "null", "{}", "{\"targetFps\": 60} {\"targetFps\": 30}"}) {
    write(text);
    EXPECT_TRUE(s.load()) << text;
  }
  EXPECT_EQ(s.targetFps, 60u);

  // The conversions of in-range values.
  write(
      "{\"videoPort\": 65536, \"audioPort\": -1, \"targetFps\": 72.9, \"maxBitrate\": true,"
      " \"sharpness\": false, \"unknown\": [1]}");
  ASSERT_TRUE(s.load());
  EXPECT_EQ(s.videoPort, 0);
  EXPECT_EQ(s.audioPort, 65535);
  EXPECT_EQ(s.targetFps, 72u);
  EXPECT_EQ(s.maxBitrate, 1u);
  EXPECT_EQ(s.sharpness, 0.0f);

  // A frame rate of 0 would divide by zero downstream: the default instead.
  write("{\"targetFps\": 0}");
  ASSERT_TRUE(s.load());
  EXPECT_EQ(s.targetFps, 72u);
}

TEST_F(SettingsFile, FailedLoadKeepsEarlierKeys) {
  Settings s;
  write(
      "{\"signalingPort\": 1000, \"maxBitrate\": 7, \"sharpness\": 0.25, \"preferredEncoder\": \"amf\","
      " \"sharpeningEnabled\": true, \"vsyncEnabled\": 1, \"fullRangeColor\": true}");
  EXPECT_FALSE(s.load());
  EXPECT_EQ(s.signalingPort, 1000);
  EXPECT_EQ(s.maxBitrate, 7u);
  EXPECT_EQ(s.preferredEncoder, "amf");
  EXPECT_TRUE(s.sharpeningEnabled);
  EXPECT_FLOAT_EQ(s.sharpness, 0.25f);
  EXPECT_FALSE(s.fullRangeColor) << "keys after the failing one stay as they were";

  for (const char* text : {"", "{ // comment\n}", "{\"videoPort\": \"9944\"}", "{\"preferredEncoder\": 1}",
                           "{\"targetBitrate\": 1e300}", "{\"inputPort\": -1.5}", "{\"inputPort\": 65536.0}",
                           "{\"sharpness\": 1e39}"}) {
    Settings fresh;
    write(text);
    EXPECT_FALSE(fresh.load()) << text;
  }
}

TEST_F(SettingsFile, FailedSaveLeavesThePreviousFile) {
  Settings s;
  s.targetFps = 33;
  ASSERT_TRUE(s.save());
  const std::string before = read();

  // A folder where the temporary file would go: the new file cannot be written.
  fs::create_directories(path_.string() + ".tmp");
  s.targetFps = 44;
  EXPECT_FALSE(s.save());
  EXPECT_EQ(read(), before);
  fs::remove_all(path_.string() + ".tmp");

  // Text that cannot be serialised never touches the file.
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
