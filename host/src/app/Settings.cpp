#include "app/Settings.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <stdexcept>

#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

#ifdef _WIN32
#include <windows.h>
#include <shlobj.h>
#else
#include <cstdlib>
#endif

namespace quorvane::host {

namespace {

using json = nlohmann::json;

constexpr uint32_t kDefaultTargetFps = 72;

// The current user's local application-data folder, or nothing when the lookup fails.
std::optional<std::filesystem::path> localAppDataFolder() {
#ifdef _WIN32
  char path[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, path))) {
    return std::nullopt;
  }
  return std::filesystem::path(path);
#else
  const char* env = std::getenv("LOCALAPPDATA");
  if (env == nullptr || *env == '\0') {
    return std::nullopt;
  }
  return std::filesystem::path(env);
#endif
}

// Typed access for the unsigned fields: integers wrap to the field's width, booleans
// give 0 and 1, and fractions are truncated toward zero. A floating-point value whose
// truncation does not fit the field (or that is not finite) is refused, since the
// conversion would be undefined.
template <typename T>
T unsignedField(const json& value, const char* key) {
  if (value.is_number_float()) {
    const double d = value.get<double>();
    constexpr double limit = static_cast<double>(std::numeric_limits<T>::max()) + 1.0;
    if (!std::isfinite(d) || d <= -1.0 || d >= limit) {
      throw std::out_of_range(fmt::format("{} is out of range: {}", key, d));
    }
  }
  return value.get<T>();
}

// A listening port: a number (or boolean) whose value, truncated toward zero, lies in 1 to
// 65535. Any other number is not narrowed to the field's width, which would make the host
// listen on another port than the file names (or on a random one, for 0): it gets a warning
// and the field's default.
uint16_t portField(const json& value, const char* key, uint16_t fallback) {
  if (!value.is_number() && !value.is_boolean()) {
    return value.get<uint16_t>();  // raises the library's type error
  }
  constexpr double kFirst = 1.0, kLast = 65535.0;
  const double number = value.is_number_unsigned()  ? static_cast<double>(value.get<uint64_t>())
                        : value.is_number_integer() ? static_cast<double>(value.get<int64_t>())
                        : value.is_boolean()        ? (value.get<bool>() ? 1.0 : 0.0)
                                                    : std::trunc(value.get<double>());
  if (!(number >= kFirst && number <= kLast)) {  // also refuses NaN
    SPDLOG_WARN("{} {} in the settings file is not a port (1 to 65535), using {}", key, value.dump(),
                fallback);
    return fallback;
  }
  return static_cast<uint16_t>(number);
}

float floatField(const json& value, const char* key) {
  if (value.is_number_float()) {
    const double d = value.get<double>();
    if (!std::isfinite(d) || std::fabs(d) > static_cast<double>(std::numeric_limits<float>::max())) {
      throw std::out_of_range(fmt::format("{} is out of range: {}", key, d));
    }
  }
  return value.get<float>();
}

void replaceFile(const std::filesystem::path& from, const std::filesystem::path& to) {
#ifdef _WIN32
  if (!MoveFileExA(from.string().c_str(), to.string().c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    throw std::runtime_error(fmt::format("cannot replace {} (error {})", to.string(), GetLastError()));
  }
#else
  std::filesystem::rename(from, to);
#endif
}

}  // namespace

void Settings::setDefaults() {
  signalingPort = 9876;
  videoPort = 9944;
  audioPort = 9945;
  inputPort = 9946;
  targetBitrate = 20000;
  maxBitrate = 50000;
  targetFps = kDefaultTargetFps;
  preferredEncoder = "nvenc";
  sharpeningEnabled = false;
  sharpness = 0.7f;
  vsyncEnabled = false;
  fullRangeColor = false;
}

std::string Settings::getSettingsPath() {
  const auto base = localAppDataFolder();
  if (!base) {
    return "settings.json";
  }
  const std::filesystem::path dir = *base / "Quorvane";
  std::filesystem::create_directories(dir);
  return (dir / "settings.json").string();
}

bool Settings::load() {
  try {
    const std::string path = getSettingsPath();
    std::ifstream in(path);
    if (!in.is_open()) {
      return false;
    }
    json j;
    in >> j;

    if (j.is_object()) {
      // A member of the wrong kind fails the load with a message that names its key.
      auto with = [&j](const char* key, auto&& assign) {
        auto it = j.find(key);
        if (it != j.end()) {
          try {
            assign(*it);
          } catch (const json::exception& e) {
            throw std::runtime_error(fmt::format("{}: {}", key, e.what()));
          }
        }
      };
      const Settings defaults;
      with("signalingPort",
           [&](const json& v) { signalingPort = portField(v, "signalingPort", defaults.signalingPort); });
      with("videoPort", [&](const json& v) { videoPort = portField(v, "videoPort", defaults.videoPort); });
      with("audioPort", [&](const json& v) { audioPort = portField(v, "audioPort", defaults.audioPort); });
      with("inputPort", [&](const json& v) { inputPort = portField(v, "inputPort", defaults.inputPort); });
      with("targetBitrate",
           [&](const json& v) { targetBitrate = unsignedField<uint32_t>(v, "targetBitrate"); });
      with("maxBitrate", [&](const json& v) { maxBitrate = unsignedField<uint32_t>(v, "maxBitrate"); });
      with("targetFps", [&](const json& v) {
        targetFps = unsignedField<uint32_t>(v, "targetFps");
        if (targetFps == 0) {
          SPDLOG_WARN("targetFps 0 in the settings file is not usable, using {}", kDefaultTargetFps);
          targetFps = kDefaultTargetFps;
        }
      });
      with("preferredEncoder", [&](const json& v) { preferredEncoder = v.get<std::string>(); });
      with("sharpeningEnabled", [&](const json& v) { sharpeningEnabled = v.get<bool>(); });
      with("sharpness", [&](const json& v) { sharpness = floatField(v, "sharpness"); });
      with("vsyncEnabled", [&](const json& v) { vsyncEnabled = v.get<bool>(); });
      with("fullRangeColor", [&](const json& v) { fullRangeColor = v.get<bool>(); });
    }

    SPDLOG_INFO("Settings loaded from {}", getSettingsPath());
    return true;
  } catch (const std::exception& e) {
    SPDLOG_ERROR("Failed to load settings: {}", e.what());
    return false;
  }
}

std::string Settings::toJsonText() const {
  json j;
  j["signalingPort"] = signalingPort;
  j["videoPort"] = videoPort;
  j["audioPort"] = audioPort;
  j["inputPort"] = inputPort;
  j["targetBitrate"] = targetBitrate;
  j["maxBitrate"] = maxBitrate;
  j["targetFps"] = targetFps;
  j["preferredEncoder"] = preferredEncoder;
  j["sharpeningEnabled"] = sharpeningEnabled;
  j["sharpness"] = sharpness;
  j["vsyncEnabled"] = vsyncEnabled;
  j["fullRangeColor"] = fullRangeColor;
  return j.dump(4, ' ', false, json::error_handler_t::strict);
}

bool Settings::save() {
  try {
    // Serialise first, so that a record that cannot be written never touches the file.
    const std::string text = toJsonText();
    const std::filesystem::path path = getSettingsPath();
    std::filesystem::path tmp = path;
    tmp += ".tmp";

    {
      std::ofstream out(tmp, std::ios::out | std::ios::trunc);
      if (!out.is_open()) {
        SPDLOG_ERROR("Failed to open settings file for writing");
        return false;
      }
      out.write(text.data(), static_cast<std::streamsize>(text.size()));
      out.flush();
      if (!out) {
        out.close();
        std::error_code ignored;
        std::filesystem::remove(tmp, ignored);
        throw std::runtime_error(fmt::format("writing {} failed", tmp.string()));
      }
      out.close();
      if (out.fail()) {
        std::error_code ignored;
        std::filesystem::remove(tmp, ignored);
        throw std::runtime_error(fmt::format("closing {} failed", tmp.string()));
      }
    }
    try {
      replaceFile(tmp, path);
    } catch (...) {
      std::error_code ignored;
      std::filesystem::remove(tmp, ignored);
      throw;
    }

    SPDLOG_INFO("Settings saved to {}", getSettingsPath());
    return true;
  } catch (const std::exception& e) {
    SPDLOG_ERROR("Failed to save settings: {}", e.what());
    return false;
  }
}

}  // namespace quorvane::host
