// What the rack needs of a MIDI port: its short-message send, and nothing else.
// Keeps the synthesizer engine free of the MIDI port's type and platform calls.
#pragma once

#include <cstdint>

struct MidiShortSender {
  void* port = nullptr;
  bool (*sendShort)(void* port, uint8_t status, uint8_t data1, uint8_t data2) = nullptr;

  bool attached() const { return port != nullptr && sendShort != nullptr; }

  // Any type with bool sendShort(uint8_t, uint8_t, uint8_t); null gives a detached sender.
  template <class Port>
  static MidiShortSender of(Port* port) {
    MidiShortSender sender;
    if (port != nullptr) {
      sender.port = port;
      sender.sendShort = [](void* target, uint8_t status, uint8_t data1, uint8_t data2) {
        return static_cast<Port*>(target)->sendShort(status, data1, data2);
      };
    }
    return sender;
  }
};
