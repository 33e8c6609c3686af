// Where the MIDI port delivers input: the rack's processMidi, reached through a
// plain function pointer so that the port works with any receiver type.
#pragma once

#include <cstdint>

struct MidiReceiver {
  void* target = nullptr;
  void (*processMidi)(void* target, const uint8_t* bytes, int32_t count) = nullptr;

  bool attached() const { return target != nullptr && processMidi != nullptr; }
  void deliver(const uint8_t* bytes, int32_t count) const { processMidi(target, bytes, count); }

  // Any type with void processMidi(const uint8_t*, int32_t); null gives a detached receiver.
  template <class Rack>
  static MidiReceiver of(Rack* rack) {
    MidiReceiver receiver;
    if (rack != nullptr) {
      receiver.target = rack;
      receiver.processMidi = [](void* target, const uint8_t* bytes, int32_t count) {
        static_cast<Rack*>(target)->processMidi(bytes, count);
      };
    }
    return receiver;
  }
};
