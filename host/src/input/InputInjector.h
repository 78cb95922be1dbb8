#pragma once

#include <cstdint>
#include <mutex>

#include <windows.h>

#include "input/InjectorEvent.h"

namespace quorvane::host {

struct InputInjectorConfig {
  bool absoluteMode = true;    // pointer positions are absolute (else relative moves)
  float relativeScale = 1.0f;  // multiplier of relative moves
};

// Synthesises the client's pointer, button, wheel, key and character input on this PC
// with SendInput, with absolute positions mapped onto the target window, and resizes
// windows to a requested client size.
//
// Every operation may be called from any thread; one lock covers each whole operation,
// so the events of one call are never interleaved with those of another.
class InputInjector {
 public:
  InputInjector() = default;
  // Releases the modifiers this injector left pressed.
  ~InputInjector();

  InputInjector(const InputInjector&) = delete;
  InputInjector& operator=(const InputInjector&) = delete;

  bool initialize(const InputInjectorConfig& config);

  // Window whose rectangle absolute positions refer to; null means the whole virtual screen.
  void setTargetWindow(HWND window);

  void sendMouseMove(uint16_t x, uint16_t y);
  // 0 left, 1 right, 2 middle, 3 X1, 4 X2; other numbers send a record without effect.
  void sendMouseButton(uint8_t button, bool down);
  void sendMouseWheel(int16_t delta);
  // Brings Shift, Ctrl, Alt and left Win to the state of `modifiers`, then sends the key.
  void sendKey(uint8_t virtualKey, bool down, uint8_t modifiers);
  // Key down and key up of one UTF-16 code unit.
  void sendUnicodeChar(uint16_t character);

  void handleEvent(const InjectorEvent& event);
  // Sets the target window and handles the event without letting another call in between.
  void handleEventFor(HWND window, const InjectorEvent& event);

  // Gives the window a client area of the requested size (but not below its minimum
  // tracking size). Without keepPosition the window is centred on the primary screen.
  // Takes no lock: it uses nothing of the injector's state.
  bool resizeWindow(HWND window, uint32_t clientWidth, uint32_t clientHeight, bool keepPosition);

 private:
  // The unlocked bodies of the public operations; the caller holds `mutex`.
  void moveLocked(uint16_t x, uint16_t y);
  void buttonLocked(uint8_t button, bool down);
  void wheelLocked(int16_t delta);
  void keyLocked(uint8_t virtualKey, bool down, uint8_t modifiers);
  void unicodeCharLocked(uint16_t character);
  void dispatchLocked(const InjectorEvent& event);

  void syncModifiers(uint8_t modifiers);
  void sendInputs(INPUT* inputs, uint32_t count);

  std::mutex mutex;
  InputInjectorConfig config;
  HWND targetWindow = nullptr;
  bool shiftDown = false;
  bool ctrlDown = false;
  bool altDown = false;
  bool winDown = false;
  bool virtualScreenWarned = false;
};

}  // namespace quorvane::host
