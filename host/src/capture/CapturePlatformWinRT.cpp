#include "capture/CapturePlatformWinRT.h"

#include <inspectable.h>
#include <roapi.h>
#include <winstring.h>
#include <wrl/client.h>

#include <atomic>
#include <mutex>
#include <utility>

#include "capture/CaptureError.h"

using Microsoft::WRL::ComPtr;

namespace quorvane::host {

namespace {

// Interfaces of Windows.Graphics.Capture and Windows.Graphics.DirectX.Direct3D11 as the runtime
// lays them out: the six IInspectable slots first, then the members below in this order.

struct WgcSize {
  INT32 Width;
  INT32 Height;
};

struct WgcToken {
  INT64 value;
};

// {a37624ab-8d5f-4650-9d3e-9eae3d9bc670}
constexpr GUID kIidDirect3DDevice = {
    0xa37624ab, 0x8d5f, 0x4650, {0x9d, 0x3e, 0x9e, 0xae, 0x3d, 0x9b, 0xc6, 0x70}};
struct IWgcDirect3DDevice : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE Trim() = 0;
};

// {0bf4a146-13c1-4694-bee3-7abf15eaf586}
struct IWgcDirect3DSurface : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_Description(void* value) = 0;
};

// {a9b3d012-3df2-4ee3-b8d1-8695f457d3c1}
constexpr GUID kIidDxgiInterfaceAccess = {
    0xa9b3d012, 0x3df2, 0x4ee3, {0xb8, 0xd1, 0x86, 0x95, 0xf4, 0x57, 0xd3, 0xc1}};
struct IWgcDxgiInterfaceAccess : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetInterface(REFIID iid, void** object) = 0;
};

// {30d5a829-7fa4-4026-83bb-d75bae4ea99e}
constexpr GUID kIidClosable = {0x30d5a829, 0x7fa4, 0x4026, {0x83, 0xbb, 0xd7, 0x5b, 0xae, 0x4e, 0xa9, 0x9e}};
struct IWgcClosable : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE Close() = 0;
};

// ITypedEventHandler<TSender, IInspectable>: IUnknown plus Invoke(sender, args). The
// interface id of each instance is derived from its type signature (UUID version 5 in the
// runtime's parameterised-interface namespace):
//   pinterface({9de1c534-6ae1-11e0-84e1-18a905bcc53f};rc(Windows.Graphics.Capture.GraphicsCaptureItem;
//     {79c3f95b-31f7-4ec2-a464-632ef5d30760});cinterface(IInspectable))
constexpr GUID kIidItemClosedHandler = {
    0xe9c610c0, 0xa68c, 0x5bd9, {0x80, 0x21, 0x85, 0x89, 0x34, 0x6e, 0xee, 0xe2}};
//   pinterface({9de1c534-6ae1-11e0-84e1-18a905bcc53f};rc(Windows.Graphics.Capture.Direct3D11CaptureFramePool;
//     {24eb6d22-1975-422e-82e7-780dbd8ddf24});cinterface(IInspectable))
constexpr GUID kIidFrameArrivedHandler = {
    0x51a947f7, 0x79cf, 0x5a3e, {0xa3, 0xa5, 0x12, 0x89, 0xcf, 0xa6, 0xdf, 0xe8}};
// {94ea2b94-e9cc-49e0-c0ff-ee64ca8f5b90}: the object may be called from any apartment.
constexpr GUID kIidAgileObject = {
    0x94ea2b94, 0xe9cc, 0x49e0, {0xc0, 0xff, 0xee, 0x64, 0xca, 0x8f, 0x5b, 0x90}};

struct IWgcTypedEventHandler : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Invoke(IInspectable* sender, IInspectable* args) = 0;
};

// {79c3f95b-31f7-4ec2-a464-632ef5d30760}
constexpr GUID kIidCaptureItem = {
    0x79c3f95b, 0x31f7, 0x4ec2, {0xa4, 0x64, 0x63, 0x2e, 0xf5, 0xd3, 0x07, 0x60}};
struct IWgcCaptureItem : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_DisplayName(HSTRING* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Size(WgcSize* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE add_Closed(IWgcTypedEventHandler* handler, WgcToken* token) = 0;
  virtual HRESULT STDMETHODCALLTYPE remove_Closed(WgcToken token) = 0;
};

// {3628e81b-3cac-4c60-b7f4-23ce0e0c3356}
constexpr GUID kIidCaptureItemInterop = {
    0x3628e81b, 0x3cac, 0x4c60, {0xb7, 0xf4, 0x23, 0xce, 0x0e, 0x0c, 0x33, 0x56}};
struct IWgcCaptureItemInterop : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateForWindow(HWND window, REFIID iid, void** result) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateForMonitor(HMONITOR monitor, REFIID iid, void** result) = 0;
};

// {814e42a9-f70f-4ad7-939b-fddcc6eb880d}
struct IWgcCaptureSession : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE StartCapture() = 0;
};

// {2c39ae40-7d2e-5044-804e-8b6799d4cf9e}
constexpr GUID kIidCaptureSession2 = {
    0x2c39ae40, 0x7d2e, 0x5044, {0x80, 0x4e, 0x8b, 0x67, 0x99, 0xd4, 0xcf, 0x9e}};
struct IWgcCaptureSession2 : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_IsCursorCaptureEnabled(boolean* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_IsCursorCaptureEnabled(boolean value) = 0;
};

// {f2cdd966-22ae-5ea1-9596-3a289344c3be}
constexpr GUID kIidCaptureSession3 = {
    0xf2cdd966, 0x22ae, 0x5ea1, {0x95, 0x96, 0x3a, 0x28, 0x93, 0x44, 0xc3, 0xbe}};
struct IWgcCaptureSession3 : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_IsBorderRequired(boolean* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_IsBorderRequired(boolean value) = 0;
};

// {2224a540-5974-49aa-b232-0882536f4cb5}
constexpr GUID kIidCaptureSessionStatics = {
    0x2224a540, 0x5974, 0x49aa, {0xb2, 0x32, 0x08, 0x82, 0x53, 0x6f, 0x4c, 0xb5}};
struct IWgcCaptureSessionStatics : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE IsSupported(boolean* result) = 0;
};

// {fa50c623-38da-4b32-acf3-fa9734ad800e}
struct IWgcCaptureFrame : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_Surface(IWgcDirect3DSurface** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_SystemRelativeTime(INT64* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ContentSize(WgcSize* value) = 0;
};

// {24eb6d22-1975-422e-82e7-780dbd8ddf24}
struct IWgcCaptureFramePool : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE Recreate(IWgcDirect3DDevice* device, INT32 pixelFormat,
                                             INT32 numberOfBuffers, WgcSize size) = 0;
  virtual HRESULT STDMETHODCALLTYPE TryGetNextFrame(IWgcCaptureFrame** result) = 0;
  virtual HRESULT STDMETHODCALLTYPE add_FrameArrived(IWgcTypedEventHandler* handler, WgcToken* token) = 0;
  virtual HRESULT STDMETHODCALLTYPE remove_FrameArrived(WgcToken token) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateCaptureSession(IWgcCaptureItem* item,
                                                         IWgcCaptureSession** result) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_DispatcherQueue(IInspectable** value) = 0;
};

// {589b103f-6bbc-5df5-a991-02e28b3b66d5}
constexpr GUID kIidCaptureFramePoolStatics2 = {
    0x589b103f, 0x6bbc, 0x5df5, {0xa9, 0x91, 0x02, 0xe2, 0x8b, 0x3b, 0x66, 0xd5}};
struct IWgcCaptureFramePoolStatics2 : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE CreateFreeThreaded(IWgcDirect3DDevice* device, INT32 pixelFormat,
                                                       INT32 numberOfBuffers, WgcSize size,
                                                       IWgcCaptureFramePool** result) = 0;
};

using CreateDeviceFromDxgiFn = HRESULT(WINAPI*)(IDXGIDevice*, IInspectable**);

// The runtime needs a multithreaded apartment on the calling threads; keeping one alive for the
// process lets threads that never initialised COM (network threads) call it too.
void ensureApartment() {
  static std::once_flag once;
  std::call_once(once, [] {
    CO_MTA_USAGE_COOKIE cookie = nullptr;
    CoIncrementMTAUsage(&cookie);
  });
}

template <typename T>
ComPtr<T> activationFactory(const wchar_t* className, const GUID& iid) {
  ensureApartment();
  HSTRING_HEADER header;
  HSTRING name = nullptr;
  CaptureError::check(
      WindowsCreateStringReference(className, static_cast<UINT32>(wcslen(className)), &header, &name));
  ComPtr<T> factory;
  CaptureError::check(RoGetActivationFactory(name, iid, reinterpret_cast<void**>(factory.GetAddressOf())));
  return factory;
}

// A delegate object the runtime calls for an event: forwards to a handler function.
class EventDelegate : public IWgcTypedEventHandler {
 public:
  EventDelegate(const GUID& iid, CapturePlatform::Handler handler) : iid(iid), handler(std::move(handler)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) {
      return E_POINTER;
    }
    if (IsEqualGUID(riid, iid) || IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, kIidAgileObject)) {
      *object = static_cast<IWgcTypedEventHandler*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references;
    if (left == 0) {
      delete this;
    }
    return left;
  }
  HRESULT STDMETHODCALLTYPE Invoke(IInspectable*, IInspectable*) override {
    try {
      handler();
    } catch (...) {
      // Nothing may cross back into the runtime.
    }
    return S_OK;
  }

 private:
  virtual ~EventDelegate() = default;

  GUID iid;
  CapturePlatform::Handler handler;
  std::atomic<ULONG> references{1};
};

class WinRtDevice : public CapturePlatform::Device {
 public:
  explicit WinRtDevice(ComPtr<IWgcDirect3DDevice> device) : device(std::move(device)) {}
  ComPtr<IWgcDirect3DDevice> device;
};

void closeObject(IUnknown* object) {
  ComPtr<IWgcClosable> closable;
  CaptureError::check(
      object->QueryInterface(kIidClosable, reinterpret_cast<void**>(closable.GetAddressOf())));
  CaptureError::check(closable->Close());
}

class WinRtFrame : public CapturePlatform::Frame {
 public:
  explicit WinRtFrame(ComPtr<IWgcCaptureFrame> frame) : frame(std::move(frame)) {
    CaptureError::check(this->frame->get_Surface(surface.GetAddressOf()));
  }
  ~WinRtFrame() override {
    surface.Reset();
    try {
      closeObject(frame.Get());
    } catch (const CaptureError&) {
    }
  }
  bool hasSurface() override { return surface != nullptr; }
  CapturePlatform::Size contentSize() override {
    WgcSize size{};
    CaptureError::check(frame->get_ContentSize(&size));
    return {size.Width, size.Height};
  }
  HRESULT getTexture(ID3D11Texture2D** texture) override {
    ComPtr<IWgcDxgiInterfaceAccess> access;
    CaptureError::check(
        surface->QueryInterface(kIidDxgiInterfaceAccess, reinterpret_cast<void**>(access.GetAddressOf())));
    return access->GetInterface(__uuidof(ID3D11Texture2D), reinterpret_cast<void**>(texture));
  }

 private:
  ComPtr<IWgcCaptureFrame> frame;
  ComPtr<IWgcDirect3DSurface> surface;
};

class WinRtSession : public CapturePlatform::Session {
 public:
  explicit WinRtSession(ComPtr<IWgcCaptureSession> session) : session(std::move(session)) {}
  void setBorderRequired(bool required) override {
    ComPtr<IWgcCaptureSession3> session3;
    CaptureError::check(session.As(&session3));
    CaptureError::check(session3->put_IsBorderRequired(required ? 1 : 0));
  }
  void setCursorCaptureEnabled(bool enabled) override {
    ComPtr<IWgcCaptureSession2> session2;
    CaptureError::check(session.As(&session2));
    CaptureError::check(session2->put_IsCursorCaptureEnabled(enabled ? 1 : 0));
  }
  void start() override { CaptureError::check(session->StartCapture()); }
  void close() override { closeObject(session.Get()); }

 private:
  ComPtr<IWgcCaptureSession> session;
};

class WinRtItem : public CapturePlatform::Item {
 public:
  explicit WinRtItem(ComPtr<IWgcCaptureItem> item) : item(std::move(item)) {}
  CapturePlatform::Size size() override {
    WgcSize size{};
    CaptureError::check(item->get_Size(&size));
    return {size.Width, size.Height};
  }
  CapturePlatform::Token addClosedHandler(CapturePlatform::Handler handler) override {
    ComPtr<EventDelegate> delegate;
    delegate.Attach(new EventDelegate(kIidItemClosedHandler, std::move(handler)));
    WgcToken token{};
    CaptureError::check(item->add_Closed(delegate.Get(), &token));
    return token.value;
  }
  void removeClosedHandler(CapturePlatform::Token token) override {
    CaptureError::check(item->remove_Closed(WgcToken{token}));
  }
  ComPtr<IWgcCaptureItem> item;
};

class WinRtFramePool : public CapturePlatform::FramePool {
 public:
  explicit WinRtFramePool(ComPtr<IWgcCaptureFramePool> pool) : pool(std::move(pool)) {}
  CapturePlatform::Token addFrameArrivedHandler(CapturePlatform::Handler handler) override {
    ComPtr<EventDelegate> delegate;
    delegate.Attach(new EventDelegate(kIidFrameArrivedHandler, std::move(handler)));
    WgcToken token{};
    CaptureError::check(pool->add_FrameArrived(delegate.Get(), &token));
    return token.value;
  }
  void removeFrameArrivedHandler(CapturePlatform::Token token) override {
    CaptureError::check(pool->remove_FrameArrived(WgcToken{token}));
  }
  std::unique_ptr<CapturePlatform::Frame> tryGetNextFrame() override {
    ComPtr<IWgcCaptureFrame> frame;
    CaptureError::check(pool->TryGetNextFrame(frame.GetAddressOf()));
    if (!frame) {
      return nullptr;
    }
    return std::make_unique<WinRtFrame>(std::move(frame));
  }
  void recreate(CapturePlatform::Device& device, int32_t pixelFormat, int32_t bufferCount,
                CapturePlatform::Size size) override {
    CaptureError::check(pool->Recreate(static_cast<WinRtDevice&>(device).device.Get(), pixelFormat,
                                       bufferCount, WgcSize{size.width, size.height}));
  }
  std::unique_ptr<CapturePlatform::Session> createCaptureSession(CapturePlatform::Item& item) override {
    ComPtr<IWgcCaptureSession> session;
    CaptureError::check(
        pool->CreateCaptureSession(static_cast<WinRtItem&>(item).item.Get(), session.GetAddressOf()));
    return std::make_unique<WinRtSession>(std::move(session));
  }
  void close() override { closeObject(pool.Get()); }

 private:
  ComPtr<IWgcCaptureFramePool> pool;
};

}  // namespace

bool CapturePlatformWinRT::isSupported() {
  auto statics = activationFactory<IWgcCaptureSessionStatics>(
      L"Windows.Graphics.Capture.GraphicsCaptureSession", kIidCaptureSessionStatics);
  boolean supported = 0;
  CaptureError::check(statics->IsSupported(&supported));
  return supported != 0;
}

std::unique_ptr<CapturePlatform::Device> CapturePlatformWinRT::createDevice(IDXGIDevice* dxgiDevice) {
  static const auto create = [] {
    HMODULE module = GetModuleHandleW(L"d3d11.dll");
    if (module == nullptr) {
      module = LoadLibraryW(L"d3d11.dll");
    }
    return module == nullptr ? nullptr
                             : reinterpret_cast<CreateDeviceFromDxgiFn>(reinterpret_cast<void*>(
                                   GetProcAddress(module, "CreateDirect3D11DeviceFromDXGIDevice")));
  }();
  if (create == nullptr) {
    return nullptr;
  }
  ComPtr<IInspectable> inspectable;
  if (FAILED(create(dxgiDevice, inspectable.GetAddressOf())) || !inspectable) {
    return nullptr;
  }
  ComPtr<IWgcDirect3DDevice> device;
  CaptureError::check(
      inspectable->QueryInterface(kIidDirect3DDevice, reinterpret_cast<void**>(device.GetAddressOf())));
  return std::make_unique<WinRtDevice>(std::move(device));
}

std::unique_ptr<CapturePlatform::Item> CapturePlatformWinRT::createItemForWindow(HWND hwnd) {
  auto interop = activationFactory<IWgcCaptureItemInterop>(L"Windows.Graphics.Capture.GraphicsCaptureItem",
                                                           kIidCaptureItemInterop);
  ComPtr<IWgcCaptureItem> item;
  if (FAILED(
          interop->CreateForWindow(hwnd, kIidCaptureItem, reinterpret_cast<void**>(item.GetAddressOf()))) ||
      !item) {
    return nullptr;
  }
  return std::make_unique<WinRtItem>(std::move(item));
}

std::unique_ptr<CapturePlatform::FramePool> CapturePlatformWinRT::createFreeThreadedFramePool(
    Device& device, int32_t pixelFormat, int32_t bufferCount, Size size) {
  auto statics = activationFactory<IWgcCaptureFramePoolStatics2>(
      L"Windows.Graphics.Capture.Direct3D11CaptureFramePool", kIidCaptureFramePoolStatics2);
  ComPtr<IWgcCaptureFramePool> pool;
  CaptureError::check(statics->CreateFreeThreaded(static_cast<WinRtDevice&>(device).device.Get(), pixelFormat,
                                                  bufferCount, WgcSize{size.width, size.height},
                                                  pool.GetAddressOf()));
  return std::make_unique<WinRtFramePool>(std::move(pool));
}

CapturePlatform& CapturePlatform::instance() {
  static CapturePlatformWinRT platform;
  return platform;
}

}  // namespace quorvane::host
