// Plays a 440 Hz tone through the program's WASAPI route on the default endpoints for a
// few seconds, as the window would: lists the endpoints, opens, starts, polls the route
// every 100 ms, stops and closes. Prints what the device answered.
// Usage: wasapi_check.exe [shared|exclusive] [seconds]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "audio/audio_result.h"
#include "audio/wasapi/wasapi_duplex.h"
#include "audio/wasapi/wasapi_endpoints.h"
#include "synth/synth_rack.h"

namespace {

std::string narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c < 128 ? static_cast<char>(c) : '?';
  return out;
}

void listEndpoints(EDataFlow flow, const char* what) {
  std::vector<WasapiEndpoint> endpoints;
  const int32_t result = listWasapiEndpoints(flow, endpoints);
  std::printf("%s endpoints: %d (%s)\n", what, static_cast<int>(endpoints.size()),
              audioResultText(result));
  for (const WasapiEndpoint& e : endpoints) {
    std::printf("  %s  [%s]\n", narrow(e.name).c_str(), narrow(e.id).c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bool exclusive = argc > 1 && std::strcmp(argv[1], "exclusive") == 0;
  const int seconds = argc > 2 ? std::atoi(argv[2]) : 5;
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
    std::printf("FAIL: COM\n");
    return 1;
  }
  listEndpoints(eRender, "render");
  listEndpoints(eCapture, "capture");

  // One voice on MIDI channel 1: the note takes the start-up tone's voice, so only
  // the 440 Hz tone sounds.
  SynthRack rack;
  rack.createSynth(0, 1, 1, false);
  rack.activate(0);
  const uint8_t noteOn[3] = {0x90, 69, 100};
  rack.processMidi(noteOn, 3);

  int status = 0;
  {
    WasapiDuplex route;
    WasapiOpenOptions options;
    options.mode = exclusive ? WasapiMode::Exclusive : WasapiMode::Shared;
    int32_t result = route.open(&rack, options);
    if (result != AudioOk) {
      std::printf("FAIL: open (%d: %s; device answered 0x%08lx)\n", result, audioResultText(result),
                  static_cast<unsigned long>(route.lastHostError()));
      CoUninitialize();
      return 1;
    }
    std::printf("opened %s%s%s: %d Hz, %d channels, sample type %d, period %d frames, buffer %u\n",
                route.mode() == WasapiMode::Exclusive ? "exclusive" : "shared",
                route.sharedFallback() ? " (exclusive refused)" : "",
                route.sharedMinimumPeriod() ? " at the engine's minimum period" : "",
                route.sampleRate(), route.renderChannels(), static_cast<int>(route.sampleType()),
                route.periodFrames(), route.bufferFrames());
    if (route.sharedFallback()) {
      std::printf("exclusive refused: 0x%08lx\n",
                  static_cast<unsigned long>(route.exclusiveRefusal()));
    }
    if (route.outputOnly()) {
      std::printf("output only: capture answered 0x%08lx\n",
                  static_cast<unsigned long>(route.captureRefusal()));
    } else {
      std::printf("capture: %d channels\n", route.captureChannels());
    }
    result = route.start(DuplexOutput::Play);
    if (result != AudioOk) {
      std::printf("FAIL: start (%d: %s; device answered 0x%08lx)\n", result,
                  audioResultText(result), static_cast<unsigned long>(route.lastHostError()));
      CoUninitialize();
      return 1;
    }
    for (int tick = 0; tick < 10 * seconds && !route.lost(); ++tick) Sleep(100);
    const bool lost = route.lost();
    std::printf("dropouts %d, lost %d, block time mean %.1f us, peak %.1f us\n", route.dropouts(),
                lost ? 1 : 0, route.averageTicks() / 10.0, route.peakTicks() / 10.0);
    result = route.stop();
    if (result != AudioOk) {
      std::printf("FAIL: stop (%d: %s)\n", result, audioResultText(result));
      status = 1;
    }
    if (lost) {
      std::printf("FAIL: the route was lost\n");
      status = 1;
    }
    route.release();
  }
  CoUninitialize();
  if (status == 0) std::printf("OK\n");
  return status;
}
