// Start-up of the host: logging and settings. The rest of the host plugs in here.
#include <cstdio>

#include <spdlog/spdlog.h>

#include "app/Settings.h"
#include "logging/Logging.h"

using namespace quorvane::host;

int main() {
  Logging::initialize("QuorvaneHost", true, spdlog::level::debug);

  Settings settings;
  settings.setDefaults();
  if (!settings.load()) {
    SPDLOG_WARN("Failed to load settings, using defaults");
    settings.setDefaults();
  }
  // Writes the file even when nothing changed, so that a first run leaves one to edit.
  settings.save();

  std::printf("Log folder: %s\nSettings file: %s\n", Logging::logDirectory().c_str(),
              settings.getSettingsPath().c_str());
  Logging::shutdown();
  return 0;
}
