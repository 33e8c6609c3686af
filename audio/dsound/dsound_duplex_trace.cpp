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

void DuplexTrace::flush(int32_t sampleRate, int32_t blockFrames, int32_t blockBytes,
                        uint32_t blockCount, int32_t dropouts) const {
  if (!enabled()) return;
  std::FILE* file = openForAppend(path_);
  if (file == nullptr) return;
  const uint64_t total = count_.get();
  const uint64_t kept = total < kCapacity ? total : kCapacity;
  const double frequency = static_cast<double>(performanceFrequency());
  std::fprintf(file,
               "# full-duplex worker: %d Hz, %u blocks of %d frames (%d bytes); %" PRIu64
               " wake-ups, the last %" PRIu64 " follow\n",
               sampleRate, blockCount, blockFrames, blockBytes, total, kept);
  std::fprintf(file, "# ms cursor woken taken wrote dropouts event\n");
  static const char* const kEvents[] = {"", " whole-ring", " ring-went-round", " stall"};
  const int64_t origin = kept > 0 ? records_[(total - kept) % kCapacity].ticks : 0;
  for (uint64_t n = total - kept; n < total; ++n) {
    const DuplexTraceRecord& r = records_[n % kCapacity];
    const double ms =
        frequency > 0 ? 1000.0 * static_cast<double>(r.ticks - origin) / frequency : 0.0;
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
    std::fprintf(file, "%.3f %s %u %s %s %d%s\n", ms, cursor, r.woken, taken, wrote, r.dropouts,
                 r.event < 4 ? kEvents[r.event] : "");
  }
  std::fprintf(file, "summary wakeups=%" PRIu64 " dropouts=%d\n", total, dropouts);
  std::fclose(file);
}
