#include "StandinAudioClient.h"

#include <utility>

#include "StandinAudioControl.h"
#include "StandinCaptureClient.h"

namespace quorvane::host {

using LostStream = StandinAudioControl::LostStream;

StandinAudioClient::StandinAudioClient(Microsoft::WRL::ComPtr<IAudioClient> real)
    : real(std::move(real)), serial(StandinAudioControl::clientOpened()) {}

StandinAudioClient::~StandinAudioClient() {
  if (relayWait) {
    UnregisterWaitEx(relayWait, INVALID_HANDLE_VALUE);  // returns once no relay runs
  }
  real.Reset();
  if (ownEvent) {
    CloseHandle(ownEvent);
  }
  if (captureEvent) {
    CloseHandle(captureEvent);
  }
}

HRESULT STDMETHODCALLTYPE StandinAudioClient::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) {
    return E_POINTER;
  }
  if (IsEqualIID(riid, __uuidof(IUnknown)) || IsEqualIID(riid, __uuidof(IAudioClient))) {
    *object = static_cast<IAudioClient*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE StandinAudioClient::AddRef() { return ++references; }

ULONG STDMETHODCALLTYPE StandinAudioClient::Release() {
  const ULONG left = --references;
  if (left == 0) {
    delete this;
  }
  return left;
}

HRESULT StandinAudioClient::lost() const { return StandinAudioControl::lossOf(serial); }

HRESULT STDMETHODCALLTYPE StandinAudioClient::Initialize(AUDCLNT_SHAREMODE mode, DWORD flags,
                                                         REFERENCE_TIME bufferDuration,
                                                         REFERENCE_TIME periodicity,
                                                         const WAVEFORMATEX* format, LPCGUID session) {
  const HRESULT loss = lost();
  return FAILED(loss) ? loss : real->Initialize(mode, flags, bufferDuration, periodicity, format, session);
}

HRESULT STDMETHODCALLTYPE StandinAudioClient::GetBufferSize(UINT32* frames) {
  const HRESULT loss = lost();
  return FAILED(loss) ? loss : real->GetBufferSize(frames);
}

HRESULT STDMETHODCALLTYPE StandinAudioClient::GetStreamLatency(REFERENCE_TIME* latency) {
  const HRESULT loss = lost();
  return FAILED(loss) ? loss : real->GetStreamLatency(latency);
}

HRESULT STDMETHODCALLTYPE StandinAudioClient::GetCurrentPadding(UINT32* frames) {
  StandinAudioControl::paddingQueried();
  const HRESULT loss = lost();
  return FAILED(loss) ? loss : real->GetCurrentPadding(frames);
}

HRESULT STDMETHODCALLTYPE StandinAudioClient::IsFormatSupported(AUDCLNT_SHAREMODE mode,
                                                                const WAVEFORMATEX* format,
                                                                WAVEFORMATEX** closest) {
  const HRESULT loss = lost();
  return FAILED(loss) ? loss : real->IsFormatSupported(mode, format, closest);
}

HRESULT STDMETHODCALLTYPE StandinAudioClient::GetMixFormat(WAVEFORMATEX** format) {
  const HRESULT loss = lost();
  return FAILED(loss) ? loss : real->GetMixFormat(format);
}

HRESULT STDMETHODCALLTYPE StandinAudioClient::GetDevicePeriod(REFERENCE_TIME* defaultPeriod,
                                                              REFERENCE_TIME* minimumPeriod) {
  const HRESULT loss = lost();
  return FAILED(loss) ? loss : real->GetDevicePeriod(defaultPeriod, minimumPeriod);
}

HRESULT STDMETHODCALLTYPE StandinAudioClient::Start() {
  const HRESULT loss = lost();
  return FAILED(loss) ? loss : real->Start();
}

HRESULT STDMETHODCALLTYPE StandinAudioClient::Stop() {
  const HRESULT loss = lost();
  return FAILED(loss) ? loss : real->Stop();
}

HRESULT STDMETHODCALLTYPE StandinAudioClient::Reset() {
  const HRESULT loss = lost();
  return FAILED(loss) ? loss : real->Reset();
}

HRESULT STDMETHODCALLTYPE StandinAudioClient::SetEventHandle(HANDLE event) {
  const HRESULT loss = lost();
  if (FAILED(loss)) {
    return loss;
  }
  if (event == nullptr) {
    return E_INVALIDARG;
  }
  if (relayWait) {
    return AUDCLNT_E_EVENTHANDLE_NOT_EXPECTED;  // as the real client answers a second handle
  }
  const HANDLE process = GetCurrentProcess();
  ownEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (ownEvent == nullptr ||
      !DuplicateHandle(process, event, process, &captureEvent, EVENT_MODIFY_STATE, FALSE, 0)) {
    return HRESULT_FROM_WIN32(GetLastError());
  }
  const HRESULT hr = real->SetEventHandle(ownEvent);
  if (FAILED(hr)) {
    return hr;
  }
  if (!RegisterWaitForSingleObject(&relayWait, ownEvent, &StandinAudioClient::relaySignal, this, INFINITE,
                                   WT_EXECUTEINWAITTHREAD)) {
    relayWait = nullptr;
    return HRESULT_FROM_WIN32(GetLastError());
  }
  return S_OK;
}

void CALLBACK StandinAudioClient::relaySignal(void* context, BOOLEAN) {
  auto* self = static_cast<StandinAudioClient*>(context);
  LostStream how{};
  if (FAILED(StandinAudioControl::lossOf(self->serial, &how)) && how == LostStream::Silent) {
    return;
  }
  SetEvent(self->captureEvent);
}

HRESULT STDMETHODCALLTYPE StandinAudioClient::GetService(REFIID riid, void** service) {
  if (service == nullptr) {
    return E_POINTER;
  }
  *service = nullptr;
  const HRESULT loss = lost();
  if (FAILED(loss)) {
    return loss;
  }
  if (!IsEqualIID(riid, __uuidof(IAudioCaptureClient))) {
    return real->GetService(riid, service);
  }
  Microsoft::WRL::ComPtr<IAudioCaptureClient> realCapture;
  const HRESULT hr =
      real->GetService(__uuidof(IAudioCaptureClient), reinterpret_cast<void**>(realCapture.GetAddressOf()));
  if (FAILED(hr)) {
    return hr;
  }
  *service = static_cast<IAudioCaptureClient*>(new StandinCaptureClient(std::move(realCapture), serial));
  return S_OK;
}

}  // namespace quorvane::host
