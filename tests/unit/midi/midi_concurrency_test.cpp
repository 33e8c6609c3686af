// The input callback, the audio thread and a system-exclusive reader all at once.
// Meant for ThreadSanitizer as much as for the checks it makes.
#include "midi_test_support.h"

#include "synth/synth_rack.h"

#include <atomic>
#include <random>

namespace {

class MidiConcurrencyTest : public MidiPortTest {};

// Message k: F0, then bytes counting up from k (modulo 128), then F7.
std::vector<uint8_t> message(uint8_t id, size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((id + i) & 0x7F);
  bytes.front() = 0xF0;
  bytes.back() = 0xF7;
  return bytes;
}

TEST_F(MidiConcurrencyTest, CallbackFeedsTheRackWhileItRendersAndSysexIsRead) {
  sim::setMidiInDevices({{"Keys In"}});
  SynthRack synthRack;
  ASSERT_EQ(synthRack.createSynth(0, 1, 16, false), Synth::kParameterCount);
  ASSERT_TRUE(synthRack.activate(0));
  ASSERT_EQ(port->open(&synthRack, nullptr,
                       {.inDevice = 0, .outDevice = kNoMidiDevice, .sysexRingBytes = 8192}),
            0);
  ASSERT_EQ(port->start(), 0);

  std::atomic<bool> done{false};
  std::thread audio([&] {
    std::vector<float> out(2 * 128), in(2 * 128, 0.0f);
    while (!done.load()) synthRack.render(out.data(), in.data(), 2, 2, 128, 48000.0f);
  });

  std::vector<uint8_t> received;
  std::thread reader([&] {
    for (;;) {
      const bool finished = done.load();
      const int32_t value = port->readSysexByte();
      if (value >= 0) {
        received.push_back(static_cast<uint8_t>(value));
      } else if (finished) {
        break;
      } else {
        std::this_thread::yield();
      }
    }
  });

  const uint32_t seed = 7;
  std::mt19937 random(seed);
  std::thread driver([&] {
    for (int k = 0; k < 400; ++k) {
      const auto note = static_cast<DWORD>(0x30 + random() % 24);
      sim::midiInSendShort(0x640090 | note << 8);
      const auto bytes = message(static_cast<uint8_t>(k & 0x7F), 2 + random() % 6000);
      for (size_t at = 0; at < bytes.size(); at += 4096) {
        const auto n = static_cast<DWORD>(std::min<size_t>(4096, bytes.size() - at));
        EXPECT_TRUE(sim::midiInSendSysex(bytes.data() + at, n));
      }
      sim::midiInSendShort(0x000080 | note << 8);
    }
  });
  driver.join();
  done = true;
  reader.join();
  audio.join();
  port->close();  // before the rack goes out of scope, whatever the checks find

  // Every message read back is whole and uncorrupted; some were dropped when full.
  SCOPED_TRACE("seed " + std::to_string(seed));
  size_t messages = 0;
  for (size_t at = 0; at < received.size();) {
    ASSERT_EQ(received[at], 0xF0) << "at " << at;
    size_t end = at + 1;
    while (end < received.size() && received[end] != 0xF7) ++end;
    ASSERT_LT(end, received.size());
    for (size_t i = at + 2; i < end; ++i) {
      ASSERT_EQ(received[i], (received[i - 1] + 1) & 0x7F) << "at " << i;
    }
    ++messages;
    at = end + 1;
  }
  EXPECT_GT(messages, 0u);
}

// A driver that hands the sysex buffers back late, on its own thread, while the
// window closes the lost input and lets go of the buffers the driver still holds.
TEST_F(MidiConcurrencyTest, BuffersHandedBackLateWhileALostInputClosesRaceNothing) {
  for (int round = 0; round < 200; ++round) {
    resetAll();
    port = std::make_unique<MidiPort>();
    sim::setMidiInDevices({{"Keys In"}});
    ASSERT_EQ(port->open(&rack, nullptr,
                         {.inDevice = 0, .outDevice = kNoMidiDevice, .sysexRingBytes = 8192}),
              0);
    ASSERT_EQ(port->start(), 0);
    sim::setMidiInResetReturnsLate(true);
    // Nor does it close: what it may still call back through stays its own.
    sim::failMidiCall(sim::MidiCall::InClose, 1000, MIDIERR_STILLPLAYING);
    std::atomic<bool> done{false};
    std::thread driver([&] {
      while (!done.load()) {
        sim::midiInReturnLateBuffers();
        std::this_thread::yield();
      }
    });
    port->markInputLost();
    port->closeLostDevices();
    done = true;
    driver.join();
    port.reset();
  }
}

}  // namespace
