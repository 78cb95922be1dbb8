#include "capture/CaptureError.h"

namespace quorvane::host {

CaptureError::CaptureError(HRESULT code) : CaptureError(code, systemMessage(code)) {}

CaptureError::CaptureError(HRESULT code, const std::string& message)
    : std::runtime_error(message), hresult(code) {}

std::string CaptureError::systemMessage(HRESULT code) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string result;
  if (length > 0 && text != nullptr) {
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    if (bytes > 0) {
      result.resize(static_cast<size_t>(bytes));
      WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), result.data(), bytes, nullptr, nullptr);
    }
  }
  if (text != nullptr) {
    LocalFree(text);
  }
  while (!result.empty() && (result.back() == '\r' || result.back() == '\n' || result.back() == ' ')) {
    result.pop_back();
  }
  return result;
}

}  // namespace quorvane::host
