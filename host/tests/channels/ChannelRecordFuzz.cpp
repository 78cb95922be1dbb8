// Feeds arbitrary bytes, in pieces of varying size, through the framing and record
// parsing of the video and input channels' client direction.
#include <cstddef>
#include <cstdint>
#include <cstring>

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
  MessageFramer video(TcpTransportServer::kMaxClientMessage);
  MessageFramer input(TcpInputServer::kMaxClientMessage);
  size_t videoBytes = 0;
  size_t inputBytes = 0;
  bool videoOpen = true;
  bool inputOpen = true;
  for (size_t at = 0; at < size; at += piece) {
    const size_t n = size - at < piece ? size - at : piece;
    if (videoOpen) {
      videoOpen = video.feed(data + at, n, [&](const uint8_t* body, size_t length) {
        videoBytes += length;
        if (const auto record = ClientRecordParser::parseVideoMessage(body, length)) {
          volatile size_t kind = record->index();
          (void)kind;
        }
      }) == MessageFramer::Status::Ok;
    }
    if (inputOpen) {
      inputOpen = input.feed(data + at, n, [&](const uint8_t* body, size_t length) {
        inputBytes += length;
        if (const auto event = ClientRecordParser::parseInputMessage(body, length)) {
          volatile uint8_t stream = event->streamId;
          (void)stream;
        }
      }) == MessageFramer::Status::Ok;
    }
  }
  // A body never claims more bytes than were fed.
  if (videoBytes > size || inputBytes > size) __builtin_trap();
  return 0;
}
