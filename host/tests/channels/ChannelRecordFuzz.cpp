// Feeds arbitrary bytes, in pieces of varying size, through the framing and record parsing
// of the video and input channels' client direction, and compares the records with a plain
// reading of the same bytes that follows the wire layout.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "network/ClientRecordParser.h"
#include "network/MessageFramer.h"
#include "network/TcpInputServer.h"
#include "network/TcpTransportServer.h"

using namespace quorvane::host;

namespace {

// One record as its field values; empty for a body that carries none.
using Fields = std::vector<int>;

int le16(const uint8_t* p) { return p[0] | p[1] << 8; }

Fields readVideoBody(const uint8_t* b, size_t n) {
  if (n >= 2 && b[0] == 16) return {16, b[1]};
  if (n >= 13 && b[0] == 3)
    return {3, b[1], b[2], b[3], le16(b + 5), le16(b + 7), b[9], b[10], int16_t(le16(b + 11))};
  if (n >= 13 && b[0] == 4) return {4, le16(b + 9), le16(b + 11)};
  return {};
}

Fields readInputBody(const uint8_t* b, size_t n) {
  if (n < 12) return {};
  return {b[0], b[1], b[2], le16(b + 3), le16(b + 5), b[7], b[8], int16_t(le16(b + 9))};
}

// The records of every complete message up to the first length above the limit.
std::vector<Fields> readStream(const uint8_t* data, size_t size, uint32_t limit,
                               Fields (*read)(const uint8_t*, size_t)) {
  std::vector<Fields> records;
  for (size_t at = 0; size - at >= 4;) {
    const uint32_t length = uint32_t(le16(data + at)) | uint32_t(le16(data + at + 2)) << 16;
    if (length > limit || size - at - 4 < length) break;
    if (auto fields = read(data + at + 4, length); !fields.empty()) records.push_back(fields);
    at += 4 + length;
  }
  return records;
}

Fields fieldsOf(const ClientRecordParser::VideoRecord& record) {
  if (const auto* key = std::get_if<KeyframeRequest>(&record)) return {16, key->streamId};
  if (const auto* in = std::get_if<ClientInput>(&record)) {
    return {3, in->streamId, in->type, in->action, in->x, in->y, in->code, in->modifiers, in->wheelDelta};
  }
  const auto& feedback = std::get<ClientFeedback>(record);
  return {4, feedback.decodeTimeMs, feedback.rttMs};
}

Fields fieldsOf(const InputEvent& e) {
  return {e.streamId, e.type, e.action, e.x, e.y, e.code, e.modifiers, e.wheelDelta};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte seeds the piece sizes, as TCP may split the stream anywhere.
  unsigned seed = data[0];
  ++data;
  --size;
  MessageFramer video(TcpTransportServer::kMaxClientMessage);
  MessageFramer input(TcpInputServer::kMaxClientMessage);
  std::vector<Fields> videoRecords, inputRecords;
  for (size_t at = 0; at < size;) {
    seed = seed * 1103515245u + 12345u;
    const size_t n = std::min<size_t>(1 + (seed >> 16) % 64, size - at);
    video.feed(data + at, n, [&](const uint8_t* body, size_t length) {
      if (const auto record = ClientRecordParser::parseVideoMessage(body, length))
        videoRecords.push_back(fieldsOf(*record));
    });
    input.feed(data + at, n, [&](const uint8_t* body, size_t length) {
      if (const auto event = ClientRecordParser::parseInputMessage(body, length))
        inputRecords.push_back(fieldsOf(*event));
    });
    at += n;
  }
  if (videoRecords != readStream(data, size, TcpTransportServer::kMaxClientMessage, readVideoBody))
    __builtin_trap();
  if (inputRecords != readStream(data, size, TcpInputServer::kMaxClientMessage, readInputBody))
    __builtin_trap();
  return 0;
}
