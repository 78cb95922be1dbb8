#include "network/TcpTransportServer.h"

#include <algorithm>
#include <bit>
#include <type_traits>
#include <utility>

#include "network/ClientRecordParser.h"
#include "protocol/PacketHeader.h"
#include "protocol/VideoFrameHeader.h"

namespace quorvane::host {

namespace {

static_assert(std::endian::native == std::endian::little,
              "the channels write integers as they lie in memory");

ChannelOptions videoChannelOptions(std::chrono::milliseconds sendTimeout, size_t backlogBytes) {
  ChannelOptions options{
      .listeningText = "TCP transport server listening on port {}",
      .startFailedText = "Failed to start TCP transport: {}",
      .closingPreviousText = "Closing existing TCP client connection",
      .connectedText = "TCP client connected from {}:{}",
      .configureFailedText = "Failed to set up TCP client connection: {}",
      .disconnectedText = "TCP client disconnected: {}",
      .tooLargeText = "TCP message too large: {} bytes",
      .readErrorText = "TCP read error: {}",
      .sendFailedText = "TCP send failed: {}",
      .ioErrorText = "TCP transport IO error: {}",
      .stoppedText = "TCP transport server stopped",
  };
  options.backlog = boost::asio::socket_base::max_listen_connections;
  options.resetOnClose = true;
  options.sendBufferBytes = 262144;
  options.receiveBufferBytes = 262144;
  options.sendTimeout = sendTimeout;
  options.backlogBytes = backlogBytes;
  options.maxMessageLength = TcpTransportServer::kMaxClientMessage;
  return options;
}

}  // namespace

TcpTransportServer::TcpTransportServer(uint16_t port, std::chrono::milliseconds sendTimeout,
                                       size_t backlogBytes)
    : channel(port, videoChannelOptions(sendTimeout, backlogBytes),
              [this](const uint8_t* body, size_t size) { handleMessage(body, size); }) {}

TcpTransportServer::~TcpTransportServer() { stop(); }

bool TcpTransportServer::start() { return channel.start(); }

void TcpTransportServer::stop() { channel.stop(); }

void TcpTransportServer::poll() { channel.poll(); }

bool TcpTransportServer::isClientConnected() const { return channel.isClientConnected(); }

void TcpTransportServer::setClientFeedbackCallback(std::function<void(const ClientFeedback&)> callback) {
  onClientFeedback = std::move(callback);
}

void TcpTransportServer::setClientInputCallback(std::function<void(const ClientInput&)> callback) {
  onClientInput = std::move(callback);
}

uint32_t TcpTransportServer::videoTimestamp90k() {
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  return static_cast<uint32_t>(static_cast<uint64_t>(micros) * 9 / 100);
}

void TcpTransportServer::sendVideoFrame(uint8_t streamId, const uint8_t* data, size_t size, bool isKeyframe) {
  if (!isClientConnected()) return;
  bool& waiting = waitingForKeyframe[streamId];
  if (waiting && !isKeyframe) return;  // the client could not decode it
  const uint32_t length = static_cast<uint32_t>(size + sizeof(PacketHeader) + sizeof(VideoFrameHeader));
  PacketHeader header;
  header.type = static_cast<uint8_t>(PacketType::Video);
  header.streamId = streamId;
  header.flags = 1;
  header.sequence = sequence;
  header.payloadLength = static_cast<uint16_t>(std::min<size_t>(size + sizeof(VideoFrameHeader), 65535));
  VideoFrameHeader frame;
  frame.timestamp = videoTimestamp90k();
  frame.frameType = isKeyframe ? VideoFrameHeader::kKeyframe : VideoFrameHeader::kInterFrame;
  const ClientChannel::WriteBuffer buffers[] = {
      {&length, sizeof(length)}, {&header, sizeof(header)}, {&frame, sizeof(frame)}, {data, size}};
  switch (channel.send(buffers, std::size(buffers))) {
    case ClientChannel::SendResult::Queued:
      ++sequence;  // numbers stay consecutive over the packets that go out
      waiting = false;
      break;
    case ClientChannel::SendResult::NoRoom:
      // The client falls behind: this stream resumes with a keyframe once one fits.
      waiting = true;
      onKeyframeRequest(streamId);
      break;
    case ClientChannel::SendResult::NoClient:
      break;
  }
}

void TcpTransportServer::handleMessage(const uint8_t* body, size_t size) {
  const auto record = ClientRecordParser::parseVideoMessage(body, size);
  if (!record) return;
  std::visit(
      [this](const auto& value) {
        using Record = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<Record, KeyframeRequest>) {
          onKeyframeRequest(value.streamId);
        } else if constexpr (std::is_same_v<Record, ClientInput>) {
          onClientInput(value);
        } else {
          onClientFeedback(value);
        }
      },
      *record);
}

}  // namespace quorvane::host
