#pragma once

#include <cstdint>

namespace quorvane::host {

#pragma pack(push, 1)
// A mouse or keyboard event sent on the input channel. Byte-packed: the 16-bit fields lie
// at odd offsets (unlike ClientInput).
struct InputEvent {
  uint8_t streamId = 0;
  uint8_t type = 0;    // 1 mouse, 2 keyboard
  uint8_t action = 0;  // mouse: 1 move, 2 down, 3 up, 4 wheel; keyboard: 1 down, 2 up, 3 character
  uint16_t x = 0;      // also the UTF-16 code unit of a typed character
  uint16_t y = 0;
  uint8_t code = 0;       // mouse button or virtual-key code
  uint8_t modifiers = 0;  // bit 0 Shift, 1 Ctrl, 2 Alt, 3 left Windows key
  int16_t wheelDelta = 0;
  uint8_t unused = 0;
};
#pragma pack(pop)
static_assert(sizeof(InputEvent) == 12);

}  // namespace quorvane::host
