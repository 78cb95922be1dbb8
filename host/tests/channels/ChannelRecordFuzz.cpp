// Feeds arbitrary bytes, in pieces of varying size, through the framing and record
// parsing of the video and input channels' client direction.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "network/ClientRecordParser.h"
#include "network/MessageFramer.h"
#include "network/TcpInputServer.h"
#include "network/TcpTransportServer.h"

using namespace quorvane::host;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte picks the piece size, as TCP may split the stream anywhere.
  const size_t piece = 1 + data[0] % 64;
  ++data;
  --size;
  // A framer that met a length over its limit takes no more bytes.
  MessageFramer video(TcpTransportServer::kMaxClientMessage);
  MessageFramer input(TcpInputServer::kMaxClientMessage);
  size_t videoBytes = 0;
  size_t inputBytes = 0;
  for (size_t at = 0; at < size; at += piece) {
    const size_t n = std::min(piece, size - at);
    video.feed(data + at, n, [&](const uint8_t* body, size_t length) {
      videoBytes += length;
      (void)ClientRecordParser::parseVideoMessage(body, length);
    });
    input.feed(data + at, n, [&](const uint8_t* body, size_t length) {
      inputBytes += length;
      (void)ClientRecordParser::parseInputMessage(body, length);
    });
  }
  // A body never claims more bytes than were fed.
  if (videoBytes > size || inputBytes > size) __builtin_trap();
  return 0;
}
