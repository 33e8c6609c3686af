// The engine's health as one line of text for the bottom of the main window:
//   Load 0.4 % (peak 3 %)   Dropouts 0   Level -26 dB
// (with "   Ring 24 ms (grown after a lost ring)" after it once the full-duplex ring grew)
// or "Audio stopped" while no engine runs, "Audio device lost: retrying" while the
// audio route's device is gone and the window tries to open it again.
#pragma once

#include <cstdint>
#include <string>

struct EngineHealth {
  bool running = false;
  bool lost = false;         // the route's device is gone; it is being opened again
  double averageLoad = 0.0;  // fractions of a block's duration; negative: not known
  double peakLoad = 0.0;
  int32_t dropouts = 0;
  float peakLevel = 0.0f;  // largest output magnitude of the interval, full scale 1.0
  // The full-duplex ring's length in ms once it has grown after a lost ring; 0: not grown.
  double grownRingMs = 0.0;
};

// A load percentage: "0", "< 0.01" for a trace, two significant digits below 10
// ("0.4", "0.13", "3"), whole numbers from 10 on ("250"); "?" when not known.
std::string formatLoadPercent(double percent);
// A peak level in whole dBFS ("-26"); "-inf" for silence and for levels below -140 dB.
std::string formatLevelDb(float peak);
std::string healthLine(const EngineHealth& health);

// How long the window waits before its next try at opening a lost route, `outageMs`
// into the outage, after waiting `lastDelayMs` before this try: 2 s through the first
// minute, then twice the last wait, up to 30 s. A driver may itself leak on every
// failed open (memory and descriptors of its own, out of our reach), so a long
// outage is tried less often: about 50 tries in the first ten minutes instead of 300.
uint64_t audioRetryDelayMs(uint64_t outageMs, uint64_t lastDelayMs);
