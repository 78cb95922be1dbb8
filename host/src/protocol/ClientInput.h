#pragma once

#include <cstdint>

namespace quorvane::host {

// A mouse or keyboard event sent on the video channel. Naturally aligned: byte 3 is a
// spare byte and the 16-bit fields lie at even offsets (unlike InputEvent).
struct ClientInput {
  uint8_t streamId = 0;
  uint8_t type = 0;    // 1 mouse, 2 keyboard
  uint8_t action = 0;  // mouse: 1 move, 2 down, 3 up, 4 wheel; keyboard: 1 down, 2 up, 3 character
  uint8_t spare = 0;
  uint16_t x = 0;
  uint16_t y = 0;
  uint8_t code = 0;       // mouse button, virtual-key code or the character
  uint8_t modifiers = 0;  // bit 0 Shift, 1 Ctrl, 2 Alt, 3 left Windows key
  int16_t wheelDelta = 0;
};
static_assert(sizeof(ClientInput) == 12);

}  // namespace quorvane::host
