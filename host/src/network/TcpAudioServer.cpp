#include "network/TcpAudioServer.h"

#include <spdlog/spdlog.h>

#include "protocol/AudioPacketHeader.h"
#include "protocol/PacketHeader.h"

namespace quorvane::host {

namespace {

ChannelOptions audioChannelOptions(std::chrono::milliseconds sendTimeout, size_t backlogBytes) {
  ChannelOptions options{
      .listeningText = "TCP audio server started on port {}",
      .startFailedText = "Failed to start TCP audio server: {}",
      .closingPreviousText = "TCP audio: Closing previous client connection",
      .connectedText = "TCP audio client connected from {}:{}",
      .configureFailedText = "Failed to configure TCP audio socket: {}",
      .disconnectedText = "TCP audio client disconnected: {}",
      .tooLargeText = "TCP audio message too large: {} bytes",
      .readErrorText = "TCP audio read error: {}",
      .sendFailedText = "TCP audio send failed: {}",
      .ioErrorText = "TCP audio IO error: {}",
      .stoppedText = "TCP audio server stopped",
  };
  options.backlog = 1;
  options.storeBeforeConfiguring = true;
  options.resetOnClose = true;
  options.sendBufferBytes = 65536;
  options.receiveBufferBytes = 65536;
  options.sendTimeout = sendTimeout;
  options.backlogBytes = backlogBytes;
  options.maxMessageLength = 0;  // the host never reads the audio connection
  return options;
}

}  // namespace

TcpAudioServer::TcpAudioServer(uint16_t port, std::chrono::milliseconds sendTimeout, size_t backlogBytes)
    : channel(port, audioChannelOptions(sendTimeout, backlogBytes), nullptr) {}

TcpAudioServer::~TcpAudioServer() { stop(); }

bool TcpAudioServer::start() { return channel.start(); }

void TcpAudioServer::stop() { channel.stop(); }

bool TcpAudioServer::isClientConnected() const { return channel.isClientConnected(); }

void TcpAudioServer::sendAudioData(uint8_t streamId, const uint8_t* data, size_t size) {
  if (!channel.isClientConnected()) return;
  constexpr uint32_t kHeaderSize = sizeof(PacketHeader) + sizeof(AudioPacketHeader);
  const uint32_t length = static_cast<uint32_t>(size + kHeaderSize);
  PacketHeader header;
  header.type = static_cast<uint8_t>(PacketType::Audio);
  header.streamId = streamId;
  header.flags = 0;
  header.sequence = sequence;
  header.payloadLength = static_cast<uint16_t>(size + sizeof(AudioPacketHeader));
  AudioPacketHeader audio;
  audio.timestamp = static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now().time_since_epoch())
                                              .count());
  const ClientChannel::WriteBuffer buffers[] = {
      {&length, sizeof(length)}, {&header, sizeof(header)}, {&audio, sizeof(audio)}, {data, size}};
  if (channel.send(buffers, std::size(buffers)) != ClientChannel::SendResult::Queued) return;
  ++sequence;  // numbers stay consecutive over the packets that go out
  if (sequence <= 3) {
    SPDLOG_INFO(
        "TCP Audio packet #{}: length={} (headerSize={}, dataSize={}), type={}, streamId={}, "
        "payloadLength={}",
        static_cast<int>(sequence) - 1, length, kHeaderSize, size, static_cast<int>(header.type),
        static_cast<int>(streamId), header.payloadLength);
  }
}

}  // namespace quorvane::host
