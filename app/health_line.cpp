#include "app/health_line.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

std::string formatLoadPercent(double percent) {
  if (!std::isfinite(percent) || percent < 0.0) return "?";
  if (percent == 0.0) return "0";
  if (percent < 0.01) return "< 0.01";
  char text[32];
  if (percent >= 9.95) {
    std::snprintf(text, sizeof text, "%.0f", percent);
  } else {
    // %g drops trailing zeros: 3.0 reads "3", 0.40 "0.4".
    std::snprintf(text, sizeof text, "%.2g", percent);
  }
  return text;
}

// Below this a decaying voice's tail is far under any output's resolution (24 bits reach
// about -144 dB): it reads as silence rather than as "-400 dB".
constexpr double kSilenceDb = -140.0;

std::string formatLevelDb(float peak) {
  if (!(peak > 0.0f)) return "-inf";  // NaN too: nothing measurable was played
  const double decibels = 20.0 * std::log10(static_cast<double>(peak));
  if (decibels < kSilenceDb) return "-inf";
  const long db = std::lround(decibels);
  return std::to_string(db == 0 ? 0L : db);
}

std::string healthLine(const EngineHealth& health) {
  if (health.lost) return "Audio device lost: retrying";
  if (!health.running) return "Audio stopped";
  std::string line = "Load " + formatLoadPercent(health.averageLoad * 100.0) + " % (peak " +
                     formatLoadPercent(health.peakLoad * 100.0) + " %)   Dropouts " +
                     std::to_string(health.dropouts) + "   Level " +
                     formatLevelDb(health.peakLevel) + " dB";
  if (health.grownRingMs > 0.0) {
    line += "   Ring " + std::to_string(std::lround(health.grownRingMs)) +
            " ms (grown after a lost ring)";
  }
  return line;
}

uint64_t audioRetryDelayMs(uint64_t outageMs, uint64_t lastDelayMs) {
  constexpr uint64_t kFirstMs = 2000;
  constexpr uint64_t kLongestMs = 30000;
  constexpr uint64_t kSteadyForMs = 60000;
  if (outageMs < kSteadyForMs || lastDelayMs < kFirstMs) return kFirstMs;
  return std::min(lastDelayMs * 2, kLongestMs);
}
