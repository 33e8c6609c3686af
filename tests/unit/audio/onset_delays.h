// Steady MIDI timing tests on the routes without ASIO: how long after its arrival each
// note was heard, to compare one note's wait with the next's.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

// The frames from each arrival to the onset after it: the first frame `heard` after 5 ms
// (240 frames at 48 kHz) of quiet, paired with the latest arrival before it (an onset
// before the first arrival, the start-up tone, is skipped).
template <typename Heard>
std::vector<double> onsetDelays(size_t frames, Heard heard, const std::vector<double>& arrivals) {
  std::vector<double> delays;
  int quiet = 0;
  for (size_t frame = 0; frame < frames; ++frame) {
    if (!heard(frame)) {
      ++quiet;
      continue;
    }
    const auto before =
        std::upper_bound(arrivals.begin(), arrivals.end(), static_cast<double>(frame));
    if (quiet >= 240 && before != arrivals.begin()) {
      delays.push_back(static_cast<double>(frame) - *(before - 1));
    }
    quiet = 0;
  }
  return delays;
}
