#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct ID3D11Device;
struct ID3D11Texture2D;

namespace quorvane::host {

// The hardware encoders, in the factory's order of preference.
enum class EncoderType : uint32_t {
  NVENC = 0,
  AMF = 1,
  QuickSync = 2,
  Software = 3,
};

// "NVENC", "AMF", "QuickSync", "Software", or "Unknown" for any other value.
const char* encoderTypeName(EncoderType type);

struct EncoderConfig {
  uint32_t width = 1920;
  uint32_t height = 1080;
  uint32_t bitrate = 20000;     // kbps
  uint32_t maxBitrate = 50000;  // kbps
  uint32_t fps = 72;
  std::string codec = "h264";  // "h265" or "hevc" select HEVC, anything else H.264
  std::string profile = "main";
  uint32_t gopLength = 60;
  bool enableSlices = true;
  uint32_t sliceCount = 4;
  bool fullRangeColor = false;
};

// One encoded access unit; `data` belongs to the encoder and is valid only during the callback.
struct EncodedFrame {
  const uint8_t* data = nullptr;
  size_t size = 0;
  int64_t timestamp = 0;
  bool keyframe = false;
  uint32_t frameNumber = 0;
};

using EncodedFrameCallback = std::function<void(const EncodedFrame&)>;

// The latest parameter sets seen in keyframes, each from its NAL header byte, no start code.
struct CodecHeaders {
  std::vector<uint8_t> sps;
  std::vector<uint8_t> pps;
  std::vector<uint8_t> vps;
  bool valid = false;
};

struct EncoderStats {
  uint64_t framesEncoded = 0;
  uint64_t bytesEncoded = 0;
  double avgEncodeTimeMs = 0.0;
};

// True exactly for the codec texts "h265" and "hevc" (case-sensitive).
bool isHevcCodec(const std::string& codec);

// kbps to bits per second for the runtimes' 32-bit fields: computed in 64 bits, clamped.
uint32_t kbpsToBitsPerSecond(uint32_t kbps);

// The VBV buffer of one frame's worth of the peak rate, in bits; fps must be non-zero.
uint32_t vbvBufferBits(uint32_t maxBitrateKbps, uint32_t fps);

// A hardware video encoder. Not internally serialised: the owner calls every operation
// under one lock. getStats and getCodecHeaders take the encoder's own locks, which are
// never held while the frame callback runs, so the callback may call them.
class EncoderBase {
 public:
  virtual ~EncoderBase() = default;

  virtual const char* getName() const = 0;
  virtual bool initialize(ID3D11Device* device, const EncoderConfig& config) = 0;
  virtual void shutdown() = 0;
  virtual bool encodeFrame(ID3D11Texture2D* texture) = 0;
  virtual void requestKeyframe() = 0;
  virtual void setBitrate(uint32_t bitrateKbps, uint32_t maxBitrateKbps) = 0;
  virtual void setFrameCallback(EncodedFrameCallback callback) = 0;
  virtual EncoderStats getStats() const = 0;
  virtual bool isInitialized() const = 0;
  virtual bool reconfigure(const EncoderConfig& config) = 0;
  virtual CodecHeaders getCodecHeaders() const = 0;

 protected:
  // Rejects configurations the runtimes cannot take (zero size or frame rate).
  static bool validateConfig(const EncoderConfig& config, const char* encoderName);
};

}  // namespace quorvane::host
