// Shared pieces of the MIDI port tests: a rack that records what it receives, and
// a fixture that gives every test a fresh simulated winmm and DirectMusic.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "midi/midi_port.h"
#include "platform/platform.h"

// Records processMidi calls; a null call with count -1 is a reset request.
class RecordingRack {
 public:
  void processMidi(const uint8_t* bytes, int32_t count) {
    std::lock_guard lock(mutex_);
    if (bytes == nullptr && count == kMidiResetRequest) {
      ++resets_;
      return;
    }
    messages_.emplace_back(bytes, bytes + count);
  }
  std::vector<std::vector<uint8_t>> messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
  }
  int resets() const {
    std::lock_guard lock(mutex_);
    return resets_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::vector<uint8_t>> messages_;
  int resets_ = 0;
};

class MidiPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetAll();
    port = std::make_unique<MidiPort>();
  }
  void TearDown() override {
    port.reset();
    resetAll();
  }
  static void resetAll() {
    sim::resetMidi();
    sim::resetDirectMusic();
    sim::resetCom();
    sim::resetKernel();
  }
  static void twoDevicesEachWay() {
    sim::setMidiInDevices({{"Keys In"}, {"Pads In"}});
    sim::setMidiOutDevices({{"Port Out", MOD_MIDIPORT}, {"Wire Out", MOD_MIDIPORT}});
  }
  // Opens winmm input 0 and output 0 with the given ring.
  int32_t openWinmm(int32_t ringBytes = 50000) {
    return port->open(&rack, nullptr, {.inDevice = 0, .outDevice = 0, .sysexRingBytes = ringBytes});
  }
  // Waits for a condition another thread brings about; false after a generous limit.
  static bool eventually(const std::function<bool()>& condition) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
      if (std::chrono::steady_clock::now() > limit) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
  static std::vector<uint8_t> readAll(MidiPort& from) {
    std::vector<uint8_t> bytes;
    for (int32_t value = from.readSysexByte(); value >= 0; value = from.readSysexByte()) {
      bytes.push_back(static_cast<uint8_t>(value));
    }
    return bytes;
  }

  RecordingRack rack;
  std::unique_ptr<MidiPort> port;
};
