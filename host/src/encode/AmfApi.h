#pragma once

// The parts of the AMF runtime's binary interface that the AMF encoder uses: result
// codes, property variants and the COM-like interfaces in their virtual-slot order.
// Slots this program never calls are declared with placeholder signatures so that the
// ones it does call sit at their published positions.

#include <cstddef>
#include <cstdint>

namespace quorvane::host::amf {

using AMF_RESULT = int32_t;
constexpr AMF_RESULT AMF_OK = 0;
constexpr AMF_RESULT AMF_FAIL = 1;
constexpr AMF_RESULT AMF_INVALID_ARG = 4;
constexpr AMF_RESULT AMF_OUT_OF_RANGE = 5;
constexpr AMF_RESULT AMF_OUT_OF_MEMORY = 6;
constexpr AMF_RESULT AMF_NO_INTERFACE = 8;
constexpr AMF_RESULT AMF_NOT_SUPPORTED = 10;
constexpr AMF_RESULT AMF_NOT_FOUND = 11;
constexpr AMF_RESULT AMF_NOT_INITIALIZED = 13;
constexpr AMF_RESULT AMF_EOF = 23;
constexpr AMF_RESULT AMF_REPEAT = 24;
constexpr AMF_RESULT AMF_INPUT_FULL = 25;

// Runtime version 1.5.0.0: major in bits 48-63, minor in 32-47.
constexpr uint64_t AMF_FULL_VERSION_1_5 = 0x0001000500000000ull;
constexpr int32_t AMF_DX11_0 = 110;
constexpr int32_t AMF_SURFACE_BGRA = 3;
constexpr int32_t AMF_MEMORY_DX11 = 2;

enum AMF_VARIANT_TYPE : int32_t {
  AMF_VARIANT_EMPTY = 0,
  AMF_VARIANT_BOOL = 1,
  AMF_VARIANT_INT64 = 2,
  AMF_VARIANT_DOUBLE = 3,
  AMF_VARIANT_RATE = 7,
};

struct AMFRate {
  uint32_t num;
  uint32_t den;
};

struct AMFVariantStruct {
  AMF_VARIANT_TYPE type;
  union {
    bool boolValue;
    int64_t int64Value;
    double doubleValue;
    AMFRate rateValue;
    unsigned char storage[16];  // the widest member of the runtime's union
  };
};

inline AMFVariantStruct variantInt(int64_t value) {
  AMFVariantStruct v{};
  v.type = AMF_VARIANT_INT64;
  v.int64Value = value;
  return v;
}

inline AMFVariantStruct variantBool(bool value) {
  AMFVariantStruct v{};
  v.type = AMF_VARIANT_BOOL;
  v.boolValue = value;
  return v;
}

inline AMFVariantStruct variantRate(uint32_t num, uint32_t den) {
  AMFVariantStruct v{};
  v.type = AMF_VARIANT_RATE;
  v.rateValue = {num, den};
  return v;
}

struct AMFGuid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};

constexpr AMFGuid IID_AMFBuffer = {
    0xb04b7248, 0xb6f0, 0x4321, {0xb6, 0x91, 0xba, 0xa4, 0x74, 0x0f, 0x9f, 0xcb}};

inline bool sameGuid(const AMFGuid& a, const AMFGuid& b) {
  if (a.data1 != b.data1 || a.data2 != b.data2 || a.data3 != b.data3) {
    return false;
  }
  for (int i = 0; i < 8; ++i) {
    if (a.data4[i] != b.data4[i]) {
      return false;
    }
  }
  return true;
}

class AMFContext;
class AMFComponent;
class AMFData;
class AMFSurface;
class AMFBuffer;

class AMFInterface {
 public:
  virtual long Acquire() = 0;
  virtual long Release() = 0;
  virtual AMF_RESULT QueryInterface(const AMFGuid& iid, void** object) = 0;
};

class AMFPropertyStorage : public AMFInterface {
 public:
  virtual AMF_RESULT SetProperty(const wchar_t* name, AMFVariantStruct value) = 0;
  virtual AMF_RESULT GetProperty(const wchar_t* name, AMFVariantStruct* value) const = 0;
  virtual bool HasProperty(const wchar_t* name) const = 0;
  virtual size_t GetPropertyCount() const = 0;
  virtual AMF_RESULT GetPropertyAt(size_t index, wchar_t* name, size_t nameSize,
                                   AMFVariantStruct* value) const = 0;
  virtual AMF_RESULT Clear() = 0;
  virtual AMF_RESULT AddTo(AMFPropertyStorage* dest, bool overwrite, bool deep) const = 0;
  virtual AMF_RESULT CopyTo(AMFPropertyStorage* dest, bool deep) const = 0;
  virtual void AddObserver(void* observer) = 0;
  virtual void RemoveObserver(void* observer) = 0;
};

class AMFPropertyStorageEx : public AMFPropertyStorage {
 public:
  virtual size_t GetPropertiesInfoCount() const = 0;
  virtual AMF_RESULT GetPropertyInfoAt(size_t index, const void** info) const = 0;
  virtual AMF_RESULT GetPropertyInfo(const wchar_t* name, const void** info) const = 0;
  virtual AMF_RESULT ValidateProperty(const wchar_t* name, AMFVariantStruct value,
                                      AMFVariantStruct* validated) const = 0;
};

class AMFData : public AMFPropertyStorage {
 public:
  virtual int32_t GetMemoryType() = 0;
  virtual AMF_RESULT Duplicate(int32_t type, AMFData** copy) = 0;
  virtual AMF_RESULT Convert(int32_t type) = 0;
  virtual AMF_RESULT Interop(int32_t type) = 0;
  virtual int32_t GetDataType() = 0;
  virtual bool IsReusable() = 0;
  virtual void SetPts(int64_t pts) = 0;
  virtual int64_t GetPts() = 0;
  virtual void SetDuration(int64_t duration) = 0;
  virtual int64_t GetDuration() = 0;
};

class AMFBuffer : public AMFData {
 public:
  virtual AMF_RESULT SetSize(size_t size) = 0;
  virtual size_t GetSize() = 0;
  virtual void* GetNative() = 0;
  virtual void AddBufferObserver(void* observer) = 0;
  virtual void RemoveBufferObserver(void* observer) = 0;
};

class AMFSurface : public AMFData {
 public:
  virtual int32_t GetFormat() = 0;
  // Plane access, frame type, crop, region copy and observers follow; unused here.
};

class AMFComponent : public AMFPropertyStorageEx {
 public:
  virtual AMF_RESULT Init(int32_t format, int32_t width, int32_t height) = 0;
  virtual AMF_RESULT ReInit(int32_t width, int32_t height) = 0;
  virtual AMF_RESULT Terminate() = 0;
  virtual AMF_RESULT Drain() = 0;
  virtual AMF_RESULT Flush() = 0;
  virtual AMF_RESULT SubmitInput(AMFData* data) = 0;
  virtual AMF_RESULT QueryOutput(AMFData** data) = 0;
};

class AMFContext : public AMFPropertyStorage {
 public:
  virtual AMF_RESULT Terminate() = 0;
  virtual AMF_RESULT InitDX9(void* device) = 0;
  virtual void* GetDX9Device(int32_t version) = 0;
  virtual AMF_RESULT LockDX9() = 0;
  virtual AMF_RESULT UnlockDX9() = 0;
  virtual AMF_RESULT InitDX11(void* device, int32_t version) = 0;
  virtual void* GetDX11Device(int32_t version) = 0;
  virtual AMF_RESULT LockDX11() = 0;
  virtual AMF_RESULT UnlockDX11() = 0;
  virtual AMF_RESULT InitOpenCL(void* queue) = 0;
  virtual void* GetOpenCLContext() = 0;
  virtual void* GetOpenCLCommandQueue() = 0;
  virtual void* GetOpenCLDeviceID() = 0;
  virtual AMF_RESULT GetOpenCLComputeFactory(void** factory) = 0;
  virtual AMF_RESULT InitOpenCLEx(void* device) = 0;
  virtual AMF_RESULT LockOpenCL() = 0;
  virtual AMF_RESULT UnlockOpenCL() = 0;
  virtual AMF_RESULT InitOpenGL(void* glContext, void* window, void* dc) = 0;
  virtual void* GetOpenGLContext() = 0;
  virtual void* GetOpenGLDrawable() = 0;
  virtual AMF_RESULT LockOpenGL() = 0;
  virtual AMF_RESULT UnlockOpenGL() = 0;
  virtual AMF_RESULT InitXV(void* device) = 0;
  virtual void* GetXVDevice() = 0;
  virtual AMF_RESULT LockXV() = 0;
  virtual AMF_RESULT UnlockXV() = 0;
  virtual AMF_RESULT InitGralloc(void* device) = 0;
  virtual void* GetGrallocDevice() = 0;
  virtual AMF_RESULT LockGralloc() = 0;
  virtual AMF_RESULT UnlockGralloc() = 0;
  virtual AMF_RESULT AllocBuffer(int32_t type, size_t size, AMFBuffer** buffer) = 0;
  virtual AMF_RESULT AllocSurface(int32_t type, int32_t format, int32_t width, int32_t height,
                                  AMFSurface** surface) = 0;
  virtual AMF_RESULT AllocAudioBuffer(int32_t type, int32_t format, int32_t samples, int32_t sampleRate,
                                      int32_t channels, void** buffer) = 0;
  virtual AMF_RESULT CreateBufferFromHostNative(void* host, size_t size, AMFBuffer** buffer,
                                                void* observer) = 0;
  virtual AMF_RESULT CreateSurfaceFromHostNative(int32_t format, int32_t width, int32_t height,
                                                 int32_t hPitch, int32_t vPitch, void* data,
                                                 AMFSurface** surface, void* observer) = 0;
  virtual AMF_RESULT CreateSurfaceFromDX9Native(void* dx9Surface, AMFSurface** surface, void* observer) = 0;
  virtual AMF_RESULT CreateSurfaceFromDX11Native(void* dx11Texture, AMFSurface** surface, void* observer) = 0;
};

class AMFFactory {
 public:
  virtual AMF_RESULT CreateContext(AMFContext** context) = 0;
  virtual AMF_RESULT CreateComponent(AMFContext* context, const wchar_t* id, AMFComponent** component) = 0;
};

using AMFInitFn = AMF_RESULT (*)(uint64_t version, AMFFactory** factory);

}  // namespace quorvane::host::amf
