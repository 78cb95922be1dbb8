#pragma once

#include <cstdint>
#include <string>

namespace quorvane::host {

// The host's persisted configuration, kept in settings.json under the user's local
// application-data folder ("Quorvane" product folder).
struct Settings {
  uint16_t signalingPort = 9876;
  uint16_t videoPort = 9944;
  uint16_t audioPort = 9945;
  uint16_t inputPort = 9946;
  uint32_t targetBitrate = 20000;  // kbps
  uint32_t maxBitrate = 50000;     // kbps
  uint32_t targetFps = 72;
  std::string preferredEncoder = "nvenc";
  bool sharpeningEnabled = false;
  float sharpness = 0.7f;
  bool vsyncEnabled = false;
  bool fullRangeColor = false;

  // Reads the file into the record; true when a JSON value was read from it.
  // Fields before a failing key keep their loaded values.
  bool load();
  // Writes the whole record; true when the file was replaced with the new content.
  // On failure the previous file is left as it was.
  bool save();
  void setDefaults();

  // Full path of the settings file; creates the product folder on the way.
  std::string getSettingsPath();

  // The exact file text that save() writes for this record.
  std::string toJsonText() const;
};

}  // namespace quorvane::host
