#include "logging/Logging.h"

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <vector>

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

namespace quorvane::host::Logging {

namespace {

constexpr const char* kConsolePattern = "[%Y-%m-%d %H:%M:%S.%e] [%^%l%$] [%n] %v";
constexpr const char* kFilePattern = "[%Y-%m-%d %H:%M:%S.%e] [%l] [%n] [%t] %v";
constexpr std::size_t kMaxFileSize = 5242880;  // 5 MiB
constexpr std::size_t kMaxFiles = 3;

std::shared_ptr<spdlog::logger> g_logger;
bool g_loggingInitialized = false;

}  // namespace

std::string logDirectory() {
  namespace fs = std::filesystem;
  const char* localAppData = std::getenv("LOCALAPPDATA");
  fs::path dir =
      localAppData != nullptr ? fs::path(localAppData) / "Quorvane" / "logs" : fs::path(".") / "logs";
  return dir.string();
}

void initialize(const std::string& name, bool fileLogging, spdlog::level::level_enum level) {
  if (g_loggingInitialized) {
    return;
  }

  std::vector<spdlog::sink_ptr> sinks;
  auto console = std::make_shared<spdlog::sinks::stdout_color_sink_mt>();
  console->set_level(level);
  console->set_pattern(kConsolePattern);
  sinks.push_back(console);

  if (fileLogging) {
    try {
      const std::filesystem::path dir = logDirectory();
      std::filesystem::create_directories(dir);
      const std::string file = (dir / (name + ".log")).string();
      auto rotating =
          std::make_shared<spdlog::sinks::rotating_file_sink_mt>(file, kMaxFileSize, kMaxFiles, false);
      rotating->set_level(spdlog::level::debug);
      rotating->set_pattern(kFilePattern);
      sinks.push_back(rotating);
    } catch (const std::exception& e) {
      spdlog::warn("Failed to create file logger: {}", e.what());
    }
  }

  g_logger = std::make_shared<spdlog::logger>(name, sinks.begin(), sinks.end());
  g_logger->set_level(level);
  g_logger->flush_on(spdlog::level::warn);
  spdlog::set_default_logger(g_logger);

  g_loggingInitialized = true;
  g_logger->info("Logging initialized for {}", name);
}

void addSink(std::shared_ptr<spdlog::sinks::sink> sink) {
  if (g_logger) {
    g_logger->sinks().push_back(std::move(sink));
  }
}

void shutdown() {
  if (g_logger) {
    g_logger->info("Shutting down logging");
  }
  spdlog::shutdown();
  g_logger.reset();
  g_loggingInitialized = false;
}

}  // namespace quorvane::host::Logging
