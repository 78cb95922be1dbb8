#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include "logging/Logging.h"
#include "logging/UISink.h"
#include "support/TempDir.h"

#ifdef _WIN32
#include <windows.h>
#include <shlobj.h>
#endif

namespace fs = std::filesystem;
namespace Logging = quorvane::host::Logging;
using quorvane::host::UISink;

namespace {

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace

// The host's logger is built once per process, so its whole life is one test.
TEST(Logging, FileSinkLevelsFlushAndRotation) {
  quorvane::test::TempDir temp;
  quorvane::test::ScopedEnv env("LOCALAPPDATA", temp.path().string());
  const fs::path dir = temp.path() / "Quorvane" / "logs";
  ASSERT_EQ(fs::path(Logging::logDirectory()), dir);

  Logging::initialize("QhTest", true, spdlog::level::debug);
  Logging::initialize("Other", false, spdlog::level::trace);  // ignored
  ASSERT_EQ(spdlog::default_logger()->name(), "QhTest");

  const fs::path file = dir / "QhTest.log";
  ASSERT_TRUE(fs::exists(file));

  spdlog::trace("trace line");
  spdlog::warn("warn line {}", 1);  // warnings are flushed at once
  std::string text = readFile(file);
  EXPECT_NE(text.find("Logging initialized for QhTest"), std::string::npos);
  EXPECT_NE(text.find("[warning] [QhTest] ["), std::string::npos) << text;
  EXPECT_NE(text.find("warn line 1"), std::string::npos);
  EXPECT_EQ(text.find("trace line"), std::string::npos);

  // Even with the logger lowered to trace, the file takes debug and above only.
  spdlog::set_level(spdlog::level::trace);
  spdlog::trace("second trace");
  spdlog::error("after trace");
  EXPECT_EQ(readFile(file).find("second trace"), std::string::npos);
  spdlog::set_level(spdlog::level::debug);

  // Roll over at 5 MiB, keep three rotated files.
  const std::string payload(1000, 'x');
  for (int i = 0; i < 5 * 5300; ++i) {
    spdlog::info("{} {}", i, payload);
  }
  spdlog::default_logger()->flush();
  for (const char* name : {"QhTest.log", "QhTest.1.log", "QhTest.2.log", "QhTest.3.log"}) {
    ASSERT_TRUE(fs::exists(dir / name)) << name;
    EXPECT_LE(fs::file_size(dir / name), 5u * 1024 * 1024) << name;
  }
  EXPECT_FALSE(fs::exists(dir / "QhTest.4.log"));
  EXPECT_GT(fs::file_size(dir / "QhTest.3.log"), 4u * 1024 * 1024);

  // The UI sink receives records after console and file once added.
  auto ui = std::make_shared<UISink<std::mutex>>();
  std::vector<std::string> seen;
  ui->setCallback([&seen](int, const std::string& t) { seen.push_back(t); });
  Logging::addSink(ui);
  spdlog::info("to the ui");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_NE(seen[0].find("to the ui"), std::string::npos);

  Logging::shutdown();
  EXPECT_EQ(spdlog::default_logger(), nullptr);
  Logging::addSink(ui);  // after shutdown: silently not added
}

TEST(Logging, LogFolderFallsBackToWorkingDirectory) {
  // An empty value removes the variable from the C runtime's environment on Windows.
  quorvane::test::ScopedEnv env("LOCALAPPDATA", "");
#ifndef _WIN32
  unsetenv("LOCALAPPDATA");
#endif
  EXPECT_EQ(fs::path(Logging::logDirectory()), fs::path(".") / "logs");
}

#ifdef _WIN32
// Under Wine, as on Windows, the log folder is the shell's local application-data folder.
TEST(Logging, LogFolderIsTheLocalAppDataFolder) {
  char shell[MAX_PATH] = {};
  ASSERT_TRUE(SUCCEEDED(SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, shell)));
  EXPECT_TRUE(fs::equivalent(fs::path(Logging::logDirectory()).parent_path().parent_path(), fs::path(shell)))
      << Logging::logDirectory() << " vs " << shell;
}
#endif

TEST(UISink, PassesLevelNumbersAndStripsTheLineEnd) {
  auto sink = std::make_shared<UISink<std::mutex>>();
  spdlog::logger logger("ui-test", sink);
  logger.set_level(spdlog::level::trace);

  logger.info("dropped: no callback yet");

  std::vector<std::pair<int, std::string>> seen;
  sink->setCallback([&seen](int level, const std::string& text) { seen.emplace_back(level, text); });
  logger.trace("t");
  logger.debug("d");
  logger.info("i");
  logger.warn("w");
  logger.error("e");
  logger.critical("c");
  logger.info("ends with a line feed\n");

  ASSERT_EQ(seen.size(), 7u);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(seen[i].first, i);
    const std::string& t = seen[i].second;
    ASSERT_FALSE(t.empty());
    EXPECT_NE(t.back(), '\n');
    EXPECT_NE(t.back(), '\r');
  }
  EXPECT_EQ(seen[2].second.substr(seen[2].second.size() - 18), "[ui-test] [info] i");
  EXPECT_EQ(seen[6].second.substr(seen[6].second.size() - 22), "ends with a line feed\n");
}
