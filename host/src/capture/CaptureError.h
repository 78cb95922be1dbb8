#pragma once

#include <windows.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace quorvane::host {

// A failed call into the system's capture runtime: the HRESULT and the system's text for it.
class CaptureError : public std::runtime_error {
 public:
  explicit CaptureError(HRESULT code);
  CaptureError(HRESULT code, const std::string& message);

  uint32_t code() const { return static_cast<uint32_t>(hresult); }

  // Throws a CaptureError for a failure code; does nothing for success codes.
  static void check(HRESULT hr) {
    if (FAILED(hr)) {
      throw CaptureError(hr);
    }
  }

  // The system's message text for the code in UTF-8 without trailing line breaks and spaces;
  // empty when the system has none.
  static std::string systemMessage(HRESULT code);

 private:
  HRESULT hresult;
};

}  // namespace quorvane::host
