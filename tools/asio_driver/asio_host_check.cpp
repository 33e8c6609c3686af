// Runs the program's ASIO host against the installed virtual driver, the way the main
// window does: probe, open, start, poll for a reset request and reopen, stop, close.
// With the driver recording its outputs, the recording holds the rack's start-up tone.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "audio/asio/asio_host.h"
#include "synth/synth_rack.h"

namespace {

int fail(const char* what, int code) {
  std::printf("FAIL: %s (%d)\n", what, code);
  AsioHost::close();
  return 1;
}

}  // namespace

int main() {
  SynthRack rack;
  int result = AsioHost::open(&rack, nullptr, 1, 0, 48000, 0, 0, false, true);
  if (result != 0) return fail("probe", result);
  AsioHost::close();

  rack.createSynth(0, 1, 16, false);
  rack.activate(0);
  result = AsioHost::open(&rack, nullptr, 2, 2, 48000, 0, 0, false, false);
  if (result != 0) return fail("open", result);
  std::string name;
  AsioHost::driverName(name);
  std::printf("driver %s: %d Hz, %d frames, latencies %d/%d\n", name.c_str(),
              AsioHost::sampleRate(), AsioHost::bufferSize(), AsioHost::inputLatency(),
              AsioHost::outputLatency());
  result = AsioHost::start(false);
  if (result != 0) return fail("start", result);
  int reopened = 0;
  // Three seconds in 100 ms steps, as the window's timer polls.
  for (int tick = 0; tick < 30; ++tick) {
    Sleep(100);
    if (AsioHost::state() == 4) {
      AsioHost::close();
      result = AsioHost::open(&rack, nullptr, 2, 2, 48000, 0, 0, false, false);
      if (result != 0) return fail("reopen", result);
      result = AsioHost::start(false);
      if (result != 0) return fail("restart", result);
      ++reopened;
      std::printf("reopened after a reset request: %d frames\n", AsioHost::bufferSize());
      // After a buffer-size change the reopened host must run at the announced size.
      const char* expected = std::getenv("ASIO_HOST_CHECK_EXPECT_FRAMES");
      if (expected != nullptr && std::atoi(expected) != AsioHost::bufferSize()) {
        return fail("size after the reopen", AsioHost::bufferSize());
      }
    }
  }
  std::printf("state %d, dropouts %d, load %.3f peak %.3f, reopened %d\n", AsioHost::state(),
              AsioHost::dropoutCount(), AsioHost::averageLoad(), AsioHost::peakLoad(), reopened);
  if (std::getenv("ASIO_HOST_CHECK_EXPECT_FRAMES") != nullptr && reopened == 0) {
    return fail("no reopen after the size change", 0);
  }
  if (AsioHost::stop() != 0) return fail("stop", -13);
  AsioHost::close();
  if (AsioHost::state() != 0) return fail("close", AsioHost::state());
  std::printf("OK\n");
  return 0;
}
