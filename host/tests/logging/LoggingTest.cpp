// The host's logger, its rotating log file and the control window's sink.
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include "logging/Logging.h"
#include "logging/UISink.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
namespace Logging = quorvane::host::Logging;
using quorvane::test::ScopedEnv;

// The host's logger is built once per process, so its whole life is one test.
TEST(Logging, FileLevelsFlushRotationAndTheUiSink) {
  quorvane::test::TempDir temp;
  ScopedEnv env("LOCALAPPDATA", temp.path().string());
  const fs::path dir = temp.path() / "Quorvane" / "logs", file = dir / "QhTest.log";
  Logging::initialize("QhTest", true, spdlog::level::debug);
  Logging::initialize("Other", false, spdlog::level::trace);  // ignored
  const auto logger = spdlog::default_logger();
  ASSERT_EQ(logger->name(), "QhTest");
  // Warnings are flushed at once; the file takes debug and above even with the logger at trace.
  spdlog::set_level(spdlog::level::trace);
  spdlog::trace("trace line");
  spdlog::debug("debug line");
  spdlog::warn("warn line {}", 1);
  std::stringstream text;
  text << std::ifstream(file, std::ios::binary).rdbuf();
  EXPECT_NE(text.str().find("] [warning] [QhTest] ["), std::string::npos) << text.str();
  EXPECT_EQ(text.str().find("trace line"), std::string::npos);
  EXPECT_NE(text.str().find("] [debug] [QhTest] ["), std::string::npos) << text.str();
  EXPECT_NE(text.str().find("debug line"), std::string::npos) << text.str();

  // Roll-over exactly when a line would take the file past 5,242,880 bytes, three rotated files
  // kept. Lines of exactly n bytes: the line overhead is measured once (console quiet meanwhile).
  logger->sinks().front()->set_level(spdlog::level::off);  // the console
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
  const auto sizeOf = [&](const char* name) {
    return fs::exists(dir / name) ? fs::file_size(dir / name) : 0;
  };
  EXPECT_EQ((std::vector{sizeOf("QhTest.log"), sizeOf("QhTest.1.log"), sizeOf("QhTest.2.log"),
                         sizeOf("QhTest.3.log"), sizeOf("QhTest.4.log")}),
            (std::vector<uintmax_t>{64, kLimit - 63, kLimit - 64, kLimit, 0}));

  // The UI sink gets level numbers and lines without the formatter's end of line, once it has a callback.
  auto ui = std::make_shared<quorvane::host::UISink<std::mutex>>();
  Logging::addSink(ui);
  spdlog::info("dropped: no callback yet");
  std::vector<std::pair<int, std::string>> seen;
  ui->setCallback([&seen](int level, const std::string& t) { seen.emplace_back(level, t); });
  for (int level = 0; level < 6; ++level) spdlog::log(static_cast<spdlog::level::level_enum>(level), "m");
  spdlog::info("ends with a line feed\n");
  Logging::shutdown();
  ScopedEnv unset("LOCALAPPDATA", std::nullopt);  // then the folder is under the working one
  EXPECT_EQ(fs::path(Logging::logDirectory()), fs::path(".") / "logs");
  ASSERT_EQ(seen.size(), 8u);  // and the shutdown's own line
  for (int level = 0; level < 6; ++level)
    EXPECT_EQ(std::pair(seen[level].first, seen[level].second.back()), std::pair(level, 'm'));
  EXPECT_TRUE(seen[6].second.ends_with("[QhTest] [info] ends with a line feed\n")) << seen[6].second;
}

// A host started again writes on at the end of its earlier log file instead of rolling it over.
TEST(Logging, AnExistingFileIsAppendedToAtStart) {
  quorvane::test::TempDir temp;
  ScopedEnv env("LOCALAPPDATA", temp.path().string());
  const fs::path dir = temp.path() / "Quorvane" / "logs";
  fs::create_directories(dir);
  const std::string earlier = "[earlier run] last line\n";
  std::ofstream(dir / "QhAgain.log", std::ios::binary) << earlier;
  Logging::initialize("QhAgain", true, spdlog::level::debug);
  spdlog::warn("second run");
  Logging::shutdown();
  std::stringstream text;
  text << std::ifstream(dir / "QhAgain.log", std::ios::binary).rdbuf();
  EXPECT_TRUE(text.str().starts_with(earlier)) << text.str();
  EXPECT_NE(text.str().find("second run"), std::string::npos) << text.str();
  EXPECT_FALSE(fs::exists(dir / "QhAgain.1.log"));
}
