#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include "logging/Logging.h"
#include "logging/UISink.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
namespace Logging = quorvane::host::Logging;
using quorvane::host::UISink;

// The host's logger is built once per process, so its whole life is one test.
TEST(Logging, FileSinkLevelsFlushAndRotation) {
  quorvane::test::TempDir temp;
  quorvane::test::ScopedEnv env("LOCALAPPDATA", temp.path().string());
  const fs::path dir = temp.path() / "Quorvane" / "logs";
  ASSERT_EQ(fs::path(Logging::logDirectory()), dir);
  Logging::initialize("QhTest", true, spdlog::level::debug);
  Logging::initialize("Other", false, spdlog::level::trace);  // ignored
  const auto logger = spdlog::default_logger();
  ASSERT_EQ(logger->name(), "QhTest");
  const fs::path file = dir / "QhTest.log";
  const auto text = [&] {
    std::stringstream ss;
    ss << std::ifstream(file, std::ios::binary).rdbuf();
    return ss.str();
  };

  spdlog::trace("trace line");
  spdlog::warn("warn line {}", 1);  // warnings are flushed at once
  EXPECT_NE(text().find("] [warning] [QhTest] ["), std::string::npos) << text();
  EXPECT_EQ(text().find("trace line"), std::string::npos);
  // Even with the logger lowered to trace, the file takes debug and above only.
  spdlog::set_level(spdlog::level::trace);
  spdlog::trace("second trace");
  spdlog::error("after trace");
  EXPECT_EQ(text().find("second trace"), std::string::npos);

  // Roll-over exactly when a line would take the file past 5,242,880 bytes, three rotated files
  // kept. Lines of exactly n bytes: the line overhead is measured once (console quiet meanwhile).
  for (auto& sink : logger->sinks()) {
    if (!std::dynamic_pointer_cast<spdlog::sinks::rotating_file_sink_mt>(sink))
      sink->set_level(spdlog::level::off);
  }
  logger->flush();
  const auto before = fs::file_size(file);
  spdlog::info("x");
  logger->flush();
  const auto overhead = fs::file_size(file) - before - 1;
  const auto line = [&](uint64_t n) { spdlog::info("{}", std::string(n - overhead, 'x')); };
  constexpr uint64_t kLimit = 5242880, kLines = kLimit / 64;
  const uint64_t size = before + overhead + 1, filler = 64 + (64 - size % 64) % 64;
  line(filler);
  for (uint64_t i = (size + filler) / 64; i < kLines; ++i) line(64);  // fills the first file exactly
  for (uint64_t i = 0; i < kLines; ++i) line(64);                     // the second too
  for (uint64_t i = 0; i < kLines - 1; ++i) line(64);                 // the third to one line less,
  line(65);                                                           // which one more byte overflows
  for (uint64_t i = 0; i < kLines - 1; ++i) line(64);                 // the fourth, and one line more
  logger->flush();
  std::vector<uintmax_t> sizes;
  for (const char* name : {"QhTest.1.log", "QhTest.2.log", "QhTest.3.log"})
    sizes.push_back(fs::file_size(dir / name));
  EXPECT_EQ(sizes, (std::vector<uintmax_t>{kLimit - 63, kLimit - 64, kLimit}));
  EXPECT_EQ(fs::file_size(file), 64u);
  EXPECT_FALSE(fs::exists(dir / "QhTest.4.log"));

  // The UI sink receives records once added; after shutdown nothing is added.
  auto ui = std::make_shared<UISink<std::mutex>>();
  std::vector<std::string> seen;
  ui->setCallback([&seen](int, const std::string& t) { seen.push_back(t); });
  Logging::addSink(ui);
  spdlog::info("to the ui");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_NE(seen[0].find("to the ui"), std::string::npos);
  Logging::shutdown();
  EXPECT_EQ(spdlog::default_logger(), nullptr);
  Logging::addSink(ui);
}

TEST(Logging, LogFolderFallsBackToWorkingDirectory) {
  // An empty value removes the variable from the C runtime's environment on Windows.
  quorvane::test::ScopedEnv env("LOCALAPPDATA", "");
#ifndef _WIN32
  unsetenv("LOCALAPPDATA");
#endif
  EXPECT_EQ(fs::path(Logging::logDirectory()), fs::path(".") / "logs");
}

TEST(UISink, PassesLevelNumbersAndStripsOnlyTheLineEnd) {
  auto sink = std::make_shared<UISink<std::mutex>>();
  spdlog::logger logger("ui-test", sink);
  logger.set_level(spdlog::level::trace);
  logger.info("dropped: no callback yet");
  std::vector<std::pair<int, std::string>> seen;
  sink->setCallback([&seen](int level, const std::string& text) { seen.emplace_back(level, text); });
  for (int level = 0; level < 6; ++level) logger.log(static_cast<spdlog::level::level_enum>(level), "m");
  logger.info("ends with a line feed\n");
  ASSERT_EQ(seen.size(), 7u);
  for (int level = 0; level < 6; ++level) {
    EXPECT_EQ(seen[level].first, level);
    EXPECT_EQ(seen[level].second.back(), 'm');
  }
  EXPECT_EQ(seen[2].second.substr(seen[2].second.size() - 18), "[ui-test] [info] m");
  EXPECT_EQ(seen[6].second.substr(seen[6].second.size() - 22), "ends with a line feed\n");
}
