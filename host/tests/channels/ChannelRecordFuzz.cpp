// Feeds arbitrary bytes, in pieces of varying size, through the video and input channels'
// framing and record parsing, and compares the records with a plain reading of the layout.
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

using Fields = std::vector<int>;  // one record's field values; empty for a body with none

int le16(const uint8_t* p) { return p[0] | p[1] << 8; }

// The input channel's byte-packed event at p; with gap 1, the video channel's aligned one.
Fields readEvent(const uint8_t* p, int gap) {
  const uint8_t* q = p + gap;
  return {p[0], p[1], p[2], le16(q + 3), le16(q + 5), q[7], q[8], int16_t(le16(q + 9))};
}

// A video channel body: a keyframe request, feedback or an event, told apart by their sizes.
Fields readVideoBody(const uint8_t* b, size_t n) {
  if (n >= 2 && b[0] == 16) return {b[1]};
  if (n >= 13 && b[0] == 4) return {le16(b + 9), le16(b + 11)};
  return n >= 13 && b[0] == 3 ? readEvent(b + 1, 1) : Fields();
}

Fields readInputBody(const uint8_t* b, size_t n) { return n < 12 ? Fields() : readEvent(b, 0); }

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

template <typename Event>
Fields fieldsOf(const Event& e) {
  return {e.streamId, e.type, e.action, e.x, e.y, e.code, e.modifiers, e.wheelDelta};
}

Fields fieldsOf(const ClientRecordParser::VideoRecord& record) {
  if (const auto* key = std::get_if<KeyframeRequest>(&record)) return {key->streamId};
  if (const auto* fb = std::get_if<ClientFeedback>(&record)) return {fb->decodeTimeMs, fb->rttMs};
  return fieldsOf(std::get<ClientInput>(record));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte seeds the piece sizes, as TCP may split the stream anywhere.
  unsigned seed = *data++;
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
  if (videoRecords != readStream(data, size, TcpTransportServer::kMaxClientMessage, readVideoBody) ||
      inputRecords != readStream(data, size, TcpInputServer::kMaxClientMessage, readInputBody)) {
    __builtin_trap();
  }
  return 0;
}
