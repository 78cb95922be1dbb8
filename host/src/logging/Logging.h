#pragma once

#include <memory>
#include <string>

#include <spdlog/common.h>
#include <spdlog/sinks/sink.h>

namespace quorvane::host::Logging {

// Builds the process-wide logger once: a colour console sink and, when fileLogging
// is set, a rotating file sink under the local application-data folder. The logger
// becomes spdlog's default logger. A second call does nothing.
void initialize(const std::string& name, bool fileLogging, spdlog::level::level_enum level);

// Appends a sink to the logger's sink list. The list has no lock of its own, so this
// must run before any other thread of the program logs; the control window's sink is
// therefore added right after initialize() and gets its callback later.
void addSink(std::shared_ptr<spdlog::sinks::sink> sink);

// Logs the last line, flushes and drops every logger and releases the host's logger.
void shutdown();

// Folder that holds the log file: %LOCALAPPDATA%\Quorvane\logs, or ./logs when the
// variable is not set.
std::string logDirectory();

}  // namespace quorvane::host::Logging
