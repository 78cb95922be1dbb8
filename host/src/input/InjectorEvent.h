#pragma once

#include <cstdint>

namespace quorvane::host {

// One client input record as the injector takes it; the application fills it field by
// field from the client's record.
struct InjectorEvent {
  uint8_t type = 0;    // 1 mouse, 2 keyboard
  uint8_t action = 0;  // mouse: 1 move, 2 button down, 3 button up, 4 wheel;
                       // keyboard: 1 key down, 2 key up, 3 character
  uint16_t x = 0;      // 0..65535 across the target window
  uint16_t y = 0;
  uint8_t code = 0;        // mouse button, virtual-key code, or the character
  uint8_t modifiers = 0;   // bit 0 Shift, bit 1 Ctrl, bit 2 Alt, bit 3 left Win
  int16_t wheelDelta = 0;  // one notch is 120; negative turns towards the user
};

}  // namespace quorvane::host
