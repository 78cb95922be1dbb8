#include "StandinCaptureClient.h"

#include <utility>

#include "StandinAudioControl.h"

namespace quorvane::host {

using Call = StandinAudioControl::Call;

StandinCaptureClient::StandinCaptureClient(Microsoft::WRL::ComPtr<IAudioCaptureClient> real, uint64_t serial)
    : real(std::move(real)), serial(serial) {}

HRESULT STDMETHODCALLTYPE StandinCaptureClient::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) {
    return E_POINTER;
  }
  if (IsEqualIID(riid, __uuidof(IUnknown)) || IsEqualIID(riid, __uuidof(IAudioCaptureClient))) {
    *object = static_cast<IAudioCaptureClient*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE StandinCaptureClient::AddRef() { return ++references; }

ULONG STDMETHODCALLTYPE StandinCaptureClient::Release() {
  const ULONG left = --references;
  if (left == 0) {
    delete this;
  }
  return left;
}

HRESULT STDMETHODCALLTYPE StandinCaptureClient::GetBuffer(BYTE** data, UINT32* frames, DWORD* flags,
                                                          UINT64* devicePosition, UINT64* counterPosition) {
  const HRESULT failure = StandinAudioControl::failureFor(serial, Call::GetBuffer);
  if (FAILED(failure)) {
    return failure;
  }
  const HRESULT hr = real->GetBuffer(data, frames, flags, devicePosition, counterPosition);
  if (SUCCEEDED(hr) &&
      StandinAudioControl::packetHandedOut(*frames, (*flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0)) {
    *flags |= AUDCLNT_BUFFERFLAGS_SILENT;
  }
  return hr;
}

HRESULT STDMETHODCALLTYPE StandinCaptureClient::ReleaseBuffer(UINT32 frames) {
  // The real packet is released in any case, so that the real client stays usable.
  const HRESULT hr = real->ReleaseBuffer(frames);
  const HRESULT failure = StandinAudioControl::failureFor(serial, Call::ReleaseBuffer);
  return FAILED(failure) ? failure : hr;
}

HRESULT STDMETHODCALLTYPE StandinCaptureClient::GetNextPacketSize(UINT32* frames) {
  StandinAudioControl::LostStream how{};
  if (FAILED(StandinAudioControl::lossOf(serial, &how)) &&
      how == StandinAudioControl::LostStream::SignalsEmpty) {
    *frames = 0;  // a dead stream that still signals has nothing to read, and says so
    return S_OK;
  }
  const HRESULT failure = StandinAudioControl::failureFor(serial, Call::GetNextPacketSize);
  return FAILED(failure) ? failure : real->GetNextPacketSize(frames);
}

}  // namespace quorvane::host
