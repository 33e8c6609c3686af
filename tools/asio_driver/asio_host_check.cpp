// Runs the program's ASIO host against the installed virtual driver, the way the main
// window does: probe, open, start, poll for a reset request and reopen, stop, close.
// With the driver recording its outputs, the recording holds the rack's start-up tone.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "audio/asio/asio_host.h"
#include "audio/audio_result.h"
#include "synth/synth_rack.h"

namespace {

constexpr AsioOpenOptions kProbe{.outputs = 1, .inputs = 0, .sampleRate = 48000, .probeOnly = true};
constexpr AsioOpenOptions kFull{.outputs = 2, .inputs = 2, .sampleRate = 48000};

int fail(AsioHost& host, const char* what, int value) {
  std::printf("FAIL: %s (%d)\n", what, value);
  host.close();
  return 1;
}

// A failed host operation: its code, the code's text and the driver's answer behind it.
int failCode(AsioHost& host, const char* what, int code) {
  std::printf("FAIL: %s (%d: %s; driver answered %d)\n", what, code, audioResultText(code),
              static_cast<int>(host.lastHostError()));
  host.close();
  return 1;
}

int stateNumber(const AsioHost& host) {
  return static_cast<int>(host.state());
}

}  // namespace

int main() {
  SynthRack rack;
  AsioHost host;
  int result = host.open(&rack, nullptr, kProbe);
  if (result != AudioOk) return failCode(host, "probe", result);
  host.close();

  rack.createSynth(0, 1, 16, false);
  rack.activate(0);
  result = host.open(&rack, nullptr, kFull);
  if (result != AudioOk) return failCode(host, "open", result);
  std::string name;
  host.driverName(name);
  std::printf("driver %s: %d Hz, %d frames, latencies %d/%d\n", name.c_str(), host.sampleRate(),
              host.bufferSize(), host.inputLatency(), host.outputLatency());
  result = host.start(false);
  if (result != AudioOk) return failCode(host, "start", result);
  int reopened = 0;
  // Three seconds in 100 ms steps, as the window's timer polls.
  for (int tick = 0; tick < 30; ++tick) {
    Sleep(100);
    if (host.state() == AsioHostState::ResetRequested) {
      host.close();
      result = host.open(&rack, nullptr, kFull);
      if (result != AudioOk) return failCode(host, "reopen", result);
      result = host.start(false);
      if (result != AudioOk) return failCode(host, "restart", result);
      ++reopened;
      std::printf("reopened after a reset request: %d frames\n", host.bufferSize());
      // After a buffer-size change the reopened host must run at the announced size.
      const char* expected = std::getenv("ASIO_HOST_CHECK_EXPECT_FRAMES");
      if (expected != nullptr && std::atoi(expected) != host.bufferSize()) {
        return fail(host, "size after the reopen", host.bufferSize());
      }
    }
  }
  std::printf("state %d, dropouts %d, load %.3f peak %.3f, reopened %d\n", stateNumber(host),
              host.dropoutCount(), host.averageLoad(), host.peakLoad(), reopened);
  if (std::getenv("ASIO_HOST_CHECK_EXPECT_FRAMES") != nullptr && reopened == 0) {
    return fail(host, "no reopen after the size change", 0);
  }
  result = host.stop();
  if (result != AudioOk) return failCode(host, "stop", result);
  host.close();
  if (host.state() != AsioHostState::Closed) return fail(host, "close", stateNumber(host));
  std::printf("OK\n");
  return 0;
}
