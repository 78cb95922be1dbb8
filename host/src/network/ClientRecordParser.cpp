#include "network/ClientRecordParser.h"

#include <cstring>

#include "protocol/ClientMessageType.h"

namespace quorvane::host {

namespace {

template <typename Record>
std::optional<ClientRecordParser::VideoRecord> recordAfterType(const uint8_t* body, size_t size) {
  if (size < 1 + sizeof(Record)) return std::nullopt;
  Record record;
  std::memcpy(&record, body + 1, sizeof(Record));
  return record;
}

}  // namespace

std::optional<ClientRecordParser::VideoRecord> ClientRecordParser::parseVideoMessage(const uint8_t* body,
                                                                                     size_t size) {
  if (size < 1) return std::nullopt;
  switch (static_cast<ClientMessageType>(body[0])) {
    case ClientMessageType::KeyframeRequest:
      if (size < 2) return std::nullopt;
      return KeyframeRequest{body[1]};
    case ClientMessageType::ClientInput:
      return recordAfterType<ClientInput>(body, size);
    case ClientMessageType::ClientFeedback:
      return recordAfterType<ClientFeedback>(body, size);
  }
  return std::nullopt;
}

std::optional<InputEvent> ClientRecordParser::parseInputMessage(const uint8_t* body, size_t size) {
  if (size < sizeof(InputEvent)) return std::nullopt;
  InputEvent event;
  std::memcpy(&event, body, sizeof(InputEvent));
  return event;
}

}  // namespace quorvane::host
