// `audio_analysis verdict ...` (see its usage text).
#pragma once

namespace audio_analysis {

// argv[0] is "verdict". Returns the exit status.
int runVerdict(int argc, char** argv);

}  // namespace audio_analysis
