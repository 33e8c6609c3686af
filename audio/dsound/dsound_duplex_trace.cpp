// The worker trace's set-up and its text output, both on the owner's thread.
#include "audio/dsound/dsound_duplex_trace.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "common/block_timing.h"

#ifdef _WIN32
namespace {
const wchar_t* traceVariable() {
  return _wgetenv(L"TONBRIK_DSOUND_TRACE");
}
std::FILE* openForAppend(const std::wstring& path) {
  return _wfopen(path.c_str(), L"ab");
}
}  // namespace
#else
namespace {
const char* traceVariable() {
  return std::getenv("TONBRIK_DSOUND_TRACE");
}
std::FILE* openForAppend(const std::string& path) {
  return std::fopen(path.c_str(), "ab");
}
}  // namespace
#endif

void DuplexTrace::configure() {
  const auto* name = traceVariable();
  if (name == nullptr || name[0] == 0) {
    records_.reset();
    path_.clear();
    return;
  }
  path_ = name;
  if (!records_) records_ = std::make_unique<DuplexTraceRecord[]>(kCapacity);
  clear();
}

void DuplexTrace::scanOutput(DuplexTraceRecord& record, uint32_t block, const int16_t* interleaved,
                             int32_t frames, int32_t channels, int64_t writtenTicks) {
  int32_t quiet = quietFrames_.get();
  for (int32_t i = 0; i < frames; ++i) {
    bool sounding = false;
    for (int32_t c = 0; c < channels; ++c) {
      const int16_t s = interleaved[i * channels + c];
      sounding |= s > 0 || s < -1;  // outside {-1, 0}
    }
    if (!sounding) {
      if (quiet < kOnsetSilenceFrames) ++quiet;
      continue;
    }
    if (quiet >= kOnsetSilenceFrames && record.onsetBlock == DuplexTraceRecord::kNoOnset) {
      record.onsetBlock = static_cast<uint16_t>(block);
      record.onsetFrame = static_cast<uint16_t>(i);
      record.onsetWritten = writtenTicks;
    }
    quiet = 0;
  }
  quietFrames_.set(quiet);
}

void DuplexTrace::flush(int32_t sampleRate, int32_t blockFrames, int32_t blockBytes,
                        uint32_t blockCount, int32_t dropouts) const {
  if (!enabled()) return;
  std::FILE* file = openForAppend(path_);
  if (file == nullptr) return;
  const uint64_t total = count_.get();
  const uint64_t kept = total < kCapacity ? total : kCapacity;
  const int64_t ticksPerSecond = performanceFrequency();
  const double frequency = static_cast<double>(ticksPerSecond);
  const int64_t origin = kept > 0 ? records_[(total - kept) % kCapacity].ticks : 0;
  std::fprintf(
      file,
      "# full-duplex worker: %d Hz, %u blocks of %d frames (%d bytes); %" PRIu64
      " wake-ups, the last %" PRIu64 " follow; counter frequency=%" PRId64 " origin=%" PRId64 "\n",
      sampleRate, blockCount, blockFrames, blockBytes, total, kept, ticksPerSecond, origin);
  std::fprintf(file,
               "# ms cursor woken taken wrote dropouts onset event; onset: block:frame@ms of "
               "the first sample outside {-1, 0} after %d frames of none written in the "
               "wake-up, the ms when its block was in the ring\n",
               kOnsetSilenceFrames);
  static const char* const kEvents[] = {"", " whole-ring", " ring-went-round", " stall"};
  const auto toMs = [&](int64_t ticks) {
    return frequency > 0 ? 1000.0 * static_cast<double>(ticks - origin) / frequency : 0.0;
  };
  for (uint64_t n = total - kept; n < total; ++n) {
    const DuplexTraceRecord& r = records_[n % kCapacity];
    const double ms = toMs(r.ticks);
    char cursor[16];
    if (r.cursor == DuplexTraceRecord::kNoCursor) {
      std::snprintf(cursor, sizeof cursor, "-");
    } else {
      std::snprintf(cursor, sizeof cursor, "%u", r.cursor);
    }
    char taken[200];
    int at = 0;
    taken[0] = 0;
    for (uint32_t b = 0; b < blockCount && b < 64 && at < 190; ++b) {
      if (r.taken & (uint64_t{1} << b))
        at += std::snprintf(taken + at, sizeof taken - at, "%s%u", at ? "," : "", b);
    }
    if (at == 0) std::snprintf(taken, sizeof taken, "-");
    char wrote[32];
    if (r.written == 0) {
      std::snprintf(wrote, sizeof wrote, "-");
    } else {
      const unsigned last = (r.firstWritten + r.written - 1u) % (blockCount ? blockCount : 1u);
      std::snprintf(wrote, sizeof wrote, "%u..%u(%u)", r.firstWritten, last, r.written);
    }
    char onset[48];
    if (r.onsetBlock == DuplexTraceRecord::kNoOnset) {
      std::snprintf(onset, sizeof onset, "-");
    } else {
      std::snprintf(onset, sizeof onset, "%u:%u@%.3f", r.onsetBlock, r.onsetFrame,
                    toMs(r.onsetWritten));
    }
    std::fprintf(file, "%.3f %s %u %s %s %d %s%s\n", ms, cursor, r.woken, taken, wrote, r.dropouts,
                 onset, r.event < 4 ? kEvents[r.event] : "");
  }
  std::fprintf(file, "summary wakeups=%" PRIu64 " dropouts=%d\n", total, dropouts);
  std::fclose(file);
}
