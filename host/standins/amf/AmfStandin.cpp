// A stand-in for the AMF runtime library: the same file name and exports, one context
// and video encoder component model, encoding on the CPU with the software H.264
// encoder (HEVC components emit made-up access units). Tests steer it through the
// StandinAmf* exports: failures of any call, an output delay, the input-queue capacity
// and refused submissions. Once a test has reset it, it logs every call with its
// parameters; loaded by a program that never resets it (the stand-in host), it logs
// nothing, so that a long run does not grow the log by every frame's calls.
#include <windows.h>
#include <d3d11.h>
#include <pthread.h>
#include <wrl/client.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "SoftwareH264.h"
#include "encode/AmfApi.h"

using namespace quorvane::host::amf;
using Microsoft::WRL::ComPtr;
using quorvane::standin::SoftwareH264;
using quorvane::standin::SoftwareH264Settings;

namespace {

struct Control {
  // The thread library makes a lock's inner state on its first use and gives it back only when
  // the lock is destroyed, which the standard lock never asks for: without this the state of
  // every load of the DLL would stay behind.
  ~Control() { pthread_mutex_destroy(mutex.native_handle()); }

  std::recursive_mutex mutex;
  bool recording = false;  // from the first reset on: a test watches the calls
  std::vector<std::string> calls;
  std::string callText;
  std::map<std::string, AMF_RESULT> failures;
  std::atomic<int> liveObjects{0};
  int outputDelay = 0;
  size_t queueCapacity = 16;
  int rejectSubmits = 0;
  bool omitOutputType = false;
  std::atomic<uint64_t> encodeNanos{0};
};

// Made when the DLL loads rather than on first use: a guarded first use goes through the thread
// library linked into this DLL, which then keeps a record of the calling thread and a lock of its
// own that are never given back when the DLL is freed, and the host frees the runtime after every
// encoder.
Control g_control;

Control& control() { return g_control; }

std::string narrow(const wchar_t* text) {
  std::string out;
  for (; text != nullptr && *text != 0; ++text) {
    out += static_cast<char>(*text);
  }
  return out;
}

std::string describe(const AMFVariantStruct& v) {
  switch (v.type) {
    case AMF_VARIANT_BOOL:
      return v.boolValue ? "true" : "false";
    case AMF_VARIANT_INT64:
      return std::to_string(v.int64Value);
    case AMF_VARIANT_RATE:
      return std::to_string(v.rateValue.num) + "/" + std::to_string(v.rateValue.den);
    default:
      return "?";
  }
}

AMF_RESULT enter(const std::string& call, const std::string& detail = {}) {
  Control& c = control();
  std::lock_guard lock(c.mutex);
  if (c.recording) {
    c.calls.push_back(detail.empty() ? call : call + " " + detail);
  }
  auto it = c.failures.find(call);
  return it == c.failures.end() ? AMF_OK : it->second;
}

// Reference counting and a property map for every object of the stand-in.
template <typename Interface>
class Object : public Interface {
 public:
  explicit Object(const char* kind) : kind_(kind) { ++control().liveObjects; }
  virtual ~Object() { --control().liveObjects; }

  long Acquire() override { return ++refs_; }
  long Release() override {
    const long left = --refs_;
    if (left == 0) {
      delete this;
    }
    return left;
  }
  AMF_RESULT QueryInterface(const AMFGuid&, void**) override { return AMF_NO_INTERFACE; }

  AMF_RESULT SetProperty(const wchar_t* name, AMFVariantStruct value) override {
    if (AMF_RESULT injected = enter(kind_ + ".SetProperty", narrow(name) + "=" + describe(value))) {
      return injected;
    }
    properties_[name] = value;
    propertyChanged(name);
    return AMF_OK;
  }
  AMF_RESULT GetProperty(const wchar_t* name, AMFVariantStruct* value) const override {
    auto it = properties_.find(name);
    if (it == properties_.end() || value == nullptr) {
      return AMF_NOT_FOUND;
    }
    *value = it->second;
    return AMF_OK;
  }
  bool HasProperty(const wchar_t* name) const override { return properties_.count(name) != 0; }
  size_t GetPropertyCount() const override { return properties_.size(); }
  AMF_RESULT GetPropertyAt(size_t, wchar_t*, size_t, AMFVariantStruct*) const override {
    return AMF_NOT_SUPPORTED;
  }
  AMF_RESULT Clear() override {
    properties_.clear();
    return AMF_OK;
  }
  AMF_RESULT AddTo(AMFPropertyStorage*, bool, bool) const override { return AMF_NOT_SUPPORTED; }
  AMF_RESULT CopyTo(AMFPropertyStorage*, bool) const override { return AMF_NOT_SUPPORTED; }
  void AddObserver(void*) override {}
  void RemoveObserver(void*) override {}

  int64_t intProperty(const wchar_t* name, int64_t fallback) const {
    auto it = properties_.find(name);
    return it != properties_.end() && it->second.type == AMF_VARIANT_INT64 ? it->second.int64Value : fallback;
  }
  bool boolProperty(const wchar_t* name) const {
    auto it = properties_.find(name);
    return it != properties_.end() && it->second.type == AMF_VARIANT_BOOL && it->second.boolValue;
  }
  AMFRate rateProperty(const wchar_t* name) const {
    auto it = properties_.find(name);
    return it != properties_.end() && it->second.type == AMF_VARIANT_RATE ? it->second.rateValue
                                                                          : AMFRate{30, 1};
  }

 protected:
  virtual void propertyChanged(const std::wstring&) {}
  void setQuietly(const wchar_t* name, AMFVariantStruct value) { properties_[name] = value; }

  std::string kind_;

 private:
  std::atomic<long> refs_{1};
  std::map<std::wstring, AMFVariantStruct> properties_;
};

template <typename Interface>
class DataObject : public Object<Interface> {
 public:
  using Object<Interface>::Object;
  int32_t GetMemoryType() override { return AMF_MEMORY_DX11; }
  AMF_RESULT Duplicate(int32_t, AMFData**) override { return AMF_NOT_SUPPORTED; }
  AMF_RESULT Convert(int32_t) override { return AMF_NOT_SUPPORTED; }
  AMF_RESULT Interop(int32_t) override { return AMF_NOT_SUPPORTED; }
  int32_t GetDataType() override { return 0; }
  bool IsReusable() override { return false; }
  void SetPts(int64_t pts) override { pts_ = pts; }
  int64_t GetPts() override { return pts_; }
  void SetDuration(int64_t duration) override { duration_ = duration; }
  int64_t GetDuration() override { return duration_; }

 private:
  int64_t pts_ = 0;
  int64_t duration_ = 0;
};

class Buffer : public DataObject<AMFBuffer> {
 public:
  explicit Buffer(std::vector<uint8_t> bytes) : DataObject("Buffer"), bytes_(std::move(bytes)) {}
  AMF_RESULT QueryInterface(const AMFGuid& iid, void** object) override {
    if (!sameGuid(iid, IID_AMFBuffer) || object == nullptr) {
      return AMF_NO_INTERFACE;
    }
    Acquire();
    *object = static_cast<AMFBuffer*>(this);
    return AMF_OK;
  }
  AMF_RESULT SetSize(size_t size) override {
    bytes_.resize(size);
    return AMF_OK;
  }
  size_t GetSize() override { return bytes_.size(); }
  void* GetNative() override { return bytes_.empty() ? nullptr : bytes_.data(); }
  void AddBufferObserver(void*) override {}
  void RemoveBufferObserver(void*) override {}
  void setOutputType(const wchar_t* name, int64_t type) { setQuietly(name, variantInt(type)); }

 private:
  std::vector<uint8_t> bytes_;
};

class Surface : public DataObject<AMFSurface> {
 public:
  explicit Surface(ID3D11Texture2D* texture) : DataObject("Surface"), texture_(texture) {}
  int32_t GetFormat() override { return AMF_SURFACE_BGRA; }
  ID3D11Texture2D* texture() const { return texture_.Get(); }

 private:
  ComPtr<ID3D11Texture2D> texture_;
};

class Component : public Object<AMFComponent> {
 public:
  explicit Component(bool hevc) : Object("Component"), hevc_(hevc) {}

  size_t GetPropertiesInfoCount() const override { return 0; }
  AMF_RESULT GetPropertyInfoAt(size_t, const void**) const override { return AMF_NOT_SUPPORTED; }
  AMF_RESULT GetPropertyInfo(const wchar_t*, const void**) const override { return AMF_NOT_SUPPORTED; }
  AMF_RESULT ValidateProperty(const wchar_t*, AMFVariantStruct, AMFVariantStruct*) const override {
    return AMF_NOT_SUPPORTED;
  }

  AMF_RESULT Init(int32_t format, int32_t width, int32_t height) override {
    if (AMF_RESULT injected = enter("Component.Init", std::to_string(format) + " " + std::to_string(width) +
                                                          "x" + std::to_string(height))) {
      return injected;
    }
    if (format != AMF_SURFACE_BGRA) {
      return AMF_NOT_SUPPORTED;
    }
    if (width < 64 || height < 64 || width > 8192 || height > 8192) {
      return AMF_OUT_OF_RANGE;
    }
    width_ = width;
    height_ = height;
    if (!hevc_) {
      SoftwareH264Settings s;
      s.width = static_cast<uint32_t>(width);
      s.height = static_cast<uint32_t>(height);
      s.bitrate = static_cast<uint32_t>(intProperty(L"TargetBitrate", 5000000));
      s.maxBitrate = static_cast<uint32_t>(intProperty(L"PeakBitrate", s.bitrate));
      const AMFRate rate = rateProperty(L"FrameRate");
      s.fps = rate.den != 0 ? rate.num / rate.den : 30;
      s.idrPeriod = static_cast<uint32_t>(intProperty(L"IDRPeriod", 0));
      s.slices = static_cast<uint32_t>(intProperty(L"SlicesPerFrame", 1));
      s.fullRange = boolProperty(L"FullRangeColor");
      if (!h264_.open(s)) {
        return AMF_FAIL;
      }
    }
    initialized_ = true;
    return AMF_OK;
  }
  AMF_RESULT ReInit(int32_t, int32_t) override { return AMF_NOT_SUPPORTED; }
  AMF_RESULT Terminate() override {
    enter("Component.Terminate");
    for (Buffer* buffer : pending_) {
      buffer->Release();
    }
    pending_.clear();
    h264_.close();
    initialized_ = false;
    return AMF_OK;
  }
  AMF_RESULT Drain() override { return AMF_OK; }
  AMF_RESULT Flush() override { return AMF_OK; }

  AMF_RESULT SubmitInput(AMFData* data) override {
    if (AMF_RESULT injected = enter("Component.SubmitInput")) {
      return injected;
    }
    Control& c = control();
    {
      std::lock_guard lock(c.mutex);
      if (c.rejectSubmits > 0) {
        --c.rejectSubmits;
        return AMF_INPUT_FULL;
      }
      if (pending_.size() >= c.queueCapacity) {
        return AMF_INPUT_FULL;
      }
    }
    auto* surface = dynamic_cast<Surface*>(data);
    if (!initialized_ || surface == nullptr) {
      return AMF_INVALID_ARG;
    }
    const auto started = std::chrono::steady_clock::now();
    const bool force = surface->intProperty(hevc_ ? L"HevcForcePictureType" : L"ForcePictureType", 0) == 2 ||
                       submitted_ == 0;
    std::vector<uint8_t> bytes;
    bool idr = false;
    if (hevc_) {
      const int64_t gop = intProperty(L"HevcGOPSize", 0);
      idr = force || (gop > 0 && static_cast<int64_t>(submitted_) % gop == 0);
      bytes = SoftwareH264::syntheticHevc(idr, static_cast<uint32_t>(submitted_));
    } else if (!h264_.encode(surface->texture(), force, bytes, idr)) {
      return AMF_FAIL;
    }
    c.encodeNanos += static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - started)
            .count());
    auto* buffer = new Buffer(std::move(bytes));
    buffer->SetPts(surface->GetPts());
    {
      std::lock_guard lock(c.mutex);
      if (!c.omitOutputType) {
        buffer->setOutputType(hevc_ ? L"HevcOutputDataType" : L"OutputDataType", idr ? 0 : 2);
      }
    }
    pending_.push_back(buffer);
    readyAt_.push_back(submitted_);
    ++submitted_;
    return AMF_OK;
  }

  AMF_RESULT QueryOutput(AMFData** data) override {
    if (AMF_RESULT injected = enter("Component.QueryOutput")) {
      return injected;
    }
    if (data == nullptr) {
      return AMF_INVALID_ARG;
    }
    *data = nullptr;
    int delay;
    {
      std::lock_guard lock(control().mutex);
      delay = control().outputDelay;
    }
    // An output comes out once `delay` later pictures have been submitted.
    if (pending_.empty() || submitted_ - readyAt_.front() - 1 < static_cast<uint64_t>(delay)) {
      return AMF_REPEAT;
    }
    *data = pending_.front();
    pending_.pop_front();
    readyAt_.pop_front();
    return AMF_OK;
  }

 protected:
  void propertyChanged(const std::wstring& name) override {
    if (initialized_ && !hevc_ && (name == L"TargetBitrate" || name == L"PeakBitrate")) {
      h264_.setBitrate(static_cast<uint32_t>(intProperty(L"TargetBitrate", 0)),
                       static_cast<uint32_t>(intProperty(L"PeakBitrate", 0)));
    }
  }

 private:
  bool hevc_;
  bool initialized_ = false;
  int32_t width_ = 0;
  int32_t height_ = 0;
  SoftwareH264 h264_;
  std::deque<Buffer*> pending_;
  std::deque<uint64_t> readyAt_;
  uint64_t submitted_ = 0;
};

class Context : public Object<AMFContext> {
 public:
  Context() : Object("Context") {}

  AMF_RESULT Terminate() override {
    enter("Context.Terminate");
    device_.Reset();
    return AMF_OK;
  }
  AMF_RESULT InitDX9(void*) override { return AMF_NOT_SUPPORTED; }
  void* GetDX9Device(int32_t) override { return nullptr; }
  AMF_RESULT LockDX9() override { return AMF_NOT_SUPPORTED; }
  AMF_RESULT UnlockDX9() override { return AMF_NOT_SUPPORTED; }
  AMF_RESULT InitDX11(void* device, int32_t version) override {
    if (AMF_RESULT injected = enter("Context.InitDX11", std::to_string(version))) {
      return injected;
    }
    if (device == nullptr) {
      return AMF_INVALID_ARG;
    }
    device_ = static_cast<ID3D11Device*>(device);
    return AMF_OK;
  }
  void* GetDX11Device(int32_t) override { return device_.Get(); }
  AMF_RESULT LockDX11() override { return AMF_OK; }
  AMF_RESULT UnlockDX11() override { return AMF_OK; }
  AMF_RESULT InitOpenCL(void*) override { return AMF_NOT_SUPPORTED; }
  void* GetOpenCLContext() override { return nullptr; }
  void* GetOpenCLCommandQueue() override { return nullptr; }
  void* GetOpenCLDeviceID() override { return nullptr; }
  AMF_RESULT GetOpenCLComputeFactory(void**) override { return AMF_NOT_SUPPORTED; }
  AMF_RESULT InitOpenCLEx(void*) override { return AMF_NOT_SUPPORTED; }
  AMF_RESULT LockOpenCL() override { return AMF_NOT_SUPPORTED; }
  AMF_RESULT UnlockOpenCL() override { return AMF_NOT_SUPPORTED; }
  AMF_RESULT InitOpenGL(void*, void*, void*) override { return AMF_NOT_SUPPORTED; }
  void* GetOpenGLContext() override { return nullptr; }
  void* GetOpenGLDrawable() override { return nullptr; }
  AMF_RESULT LockOpenGL() override { return AMF_NOT_SUPPORTED; }
  AMF_RESULT UnlockOpenGL() override { return AMF_NOT_SUPPORTED; }
  AMF_RESULT InitXV(void*) override { return AMF_NOT_SUPPORTED; }
  void* GetXVDevice() override { return nullptr; }
  AMF_RESULT LockXV() override { return AMF_NOT_SUPPORTED; }
  AMF_RESULT UnlockXV() override { return AMF_NOT_SUPPORTED; }
  AMF_RESULT InitGralloc(void*) override { return AMF_NOT_SUPPORTED; }
  void* GetGrallocDevice() override { return nullptr; }
  AMF_RESULT LockGralloc() override { return AMF_NOT_SUPPORTED; }
  AMF_RESULT UnlockGralloc() override { return AMF_NOT_SUPPORTED; }
  AMF_RESULT AllocBuffer(int32_t, size_t, AMFBuffer**) override { return AMF_NOT_SUPPORTED; }
  AMF_RESULT AllocSurface(int32_t, int32_t, int32_t, int32_t, AMFSurface**) override {
    return AMF_NOT_SUPPORTED;
  }
  AMF_RESULT AllocAudioBuffer(int32_t, int32_t, int32_t, int32_t, int32_t, void**) override {
    return AMF_NOT_SUPPORTED;
  }
  AMF_RESULT CreateBufferFromHostNative(void*, size_t, AMFBuffer**, void*) override {
    return AMF_NOT_SUPPORTED;
  }
  AMF_RESULT CreateSurfaceFromHostNative(int32_t, int32_t, int32_t, int32_t, int32_t, void*, AMFSurface**,
                                         void*) override {
    return AMF_NOT_SUPPORTED;
  }
  AMF_RESULT CreateSurfaceFromDX9Native(void*, AMFSurface**, void*) override { return AMF_NOT_SUPPORTED; }
  AMF_RESULT CreateSurfaceFromDX11Native(void* texture, AMFSurface** surface, void*) override {
    if (AMF_RESULT injected = enter("Context.CreateSurfaceFromDX11Native")) {
      return injected;
    }
    if (texture == nullptr || surface == nullptr || !device_) {
      return AMF_INVALID_ARG;
    }
    *surface = new Surface(static_cast<ID3D11Texture2D*>(texture));
    return AMF_OK;
  }

 private:
  ComPtr<ID3D11Device> device_;
};

class Factory : public AMFFactory {
 public:
  AMF_RESULT CreateContext(AMFContext** context) override {
    if (AMF_RESULT injected = enter("Factory.CreateContext")) {
      return injected;
    }
    if (context == nullptr) {
      return AMF_INVALID_ARG;
    }
    *context = new Context;
    return AMF_OK;
  }
  AMF_RESULT CreateComponent(AMFContext* context, const wchar_t* id, AMFComponent** component) override {
    if (AMF_RESULT injected = enter("Factory.CreateComponent", narrow(id))) {
      return injected;
    }
    if (context == nullptr || component == nullptr) {
      return AMF_INVALID_ARG;
    }
    const std::wstring name = id != nullptr ? id : L"";
    if (name != L"AMFVideoEncoderVCE_AVC" && name != L"AMFVideoEncoderHW_HEVC") {
      return AMF_NOT_SUPPORTED;
    }
    *component = new Component(name == L"AMFVideoEncoderHW_HEVC");
    return AMF_OK;
  }
};

Factory factory;

}  // namespace

extern "C" {

__declspec(dllexport) AMF_RESULT AMFQueryVersion(uint64_t* version) {
  if (version == nullptr) {
    return AMF_INVALID_ARG;
  }
  *version = AMF_FULL_VERSION_1_5;
  return AMF_OK;
}

__declspec(dllexport) AMF_RESULT AMFInit(uint64_t version, AMFFactory** out) {
  char text[32];
  snprintf(text, sizeof(text), "0x%016llx", static_cast<unsigned long long>(version));
  if (AMF_RESULT injected = enter("AMFInit", text)) {
    return injected;
  }
  if (out == nullptr) {
    return AMF_INVALID_ARG;
  }
  if ((version >> 48) != 1) {
    return AMF_NOT_SUPPORTED;
  }
  *out = &factory;
  return AMF_OK;
}

// Test control.

// The defaults again, no failures; the call log starts afresh and stays on from now on.
__declspec(dllexport) void StandinAmfReset() {
  Control& c = control();
  std::lock_guard lock(c.mutex);
  c.recording = true;
  c.calls.clear();
  c.failures.clear();
  c.outputDelay = 0;
  c.queueCapacity = 16;
  c.rejectSubmits = 0;
  c.omitOutputType = false;
}

// Makes every later call named `call` (as logged, e.g. "Component.Init") return `result`.
__declspec(dllexport) void StandinAmfFail(const char* call, int result) {
  Control& c = control();
  std::lock_guard lock(c.mutex);
  if (result == 0) {
    c.failures.erase(call);
  } else {
    c.failures[call] = result;
  }
}

// The calls since the last reset, one per line with its parameters; empty when no test ever
// reset the runtime.
__declspec(dllexport) const char* StandinAmfCalls() {
  Control& c = control();
  std::lock_guard lock(c.mutex);
  c.callText.clear();
  for (const auto& call : c.calls) {
    c.callText += call;
    c.callText += '\n';
  }
  return c.callText.c_str();
}

// Time spent encoding submitted surfaces (read-back, conversion and the software encoder).
__declspec(dllexport) uint64_t StandinAmfEncodeNanos() { return control().encodeNanos.load(); }

__declspec(dllexport) int StandinAmfLiveObjects() { return control().liveObjects.load(); }

// Outputs appear only after this many later submissions.
__declspec(dllexport) void StandinAmfSetOutputDelay(int frames) {
  std::lock_guard lock(control().mutex);
  control().outputDelay = frames;
}

// Submissions are refused with "input full" while this many outputs wait uncollected.
__declspec(dllexport) void StandinAmfSetQueueCapacity(int outputs) {
  std::lock_guard lock(control().mutex);
  control().queueCapacity = static_cast<size_t>(outputs);
}

// The next `count` submissions are refused with "input full".
__declspec(dllexport) void StandinAmfRejectSubmits(int count) {
  std::lock_guard lock(control().mutex);
  control().rejectSubmits = count;
}

// Output buffers without their output-data-type property.
__declspec(dllexport) void StandinAmfOmitOutputType(bool omit) {
  std::lock_guard lock(control().mutex);
  control().omitOutputType = omit;
}

}  // extern "C"
