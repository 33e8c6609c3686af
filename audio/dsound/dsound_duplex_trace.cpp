// The worker trace's set-up on the owner's thread, and its text output on the writer thread
// while the stream runs (on the owner's once it has ended).
#include "audio/dsound/dsound_duplex_trace.h"

#include <chrono>
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

void DuplexTrace::begin(const DuplexTraceFormat& format) {
  end(0);
  if (!enabled()) return;
  count_.store(0, std::memory_order_relaxed);
  quietFrames_.set(kOnsetSilenceFrames);
  format_ = format;
  written_ = 0;
  headerWritten_ = false;
  file_ = openForAppend(path_);
  if (file_ == nullptr) return;
  writerStop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (writerStop_ != nullptr) writer_ = CreateThread(nullptr, 0, writerMain, this, 0, nullptr);
  // Without a writer, `end` writes the whole run.
}

void DuplexTrace::end(int32_t dropouts) {
  if (writer_ != nullptr) {
    SetEvent(writerStop_);
    WaitForSingleObject(writer_, INFINITE);
    CloseHandle(writer_);
    writer_ = nullptr;
  }
  if (writerStop_ != nullptr) {
    CloseHandle(writerStop_);
    writerStop_ = nullptr;
  }
  if (file_ == nullptr) return;
  const uint64_t total = count_.load(std::memory_order_acquire);
  writeRecords(total);
  std::fprintf(file_, "summary wakeups=%" PRIu64 " dropouts=%d\n", total, dropouts);
  std::fclose(file_);
  file_ = nullptr;
}

DWORD WINAPI DuplexTrace::writerMain(LPVOID self) {
  auto* trace = static_cast<DuplexTrace*>(self);
  while (WaitForSingleObject(trace->writerStop_, kWritePeriodMs) == WAIT_TIMEOUT) {
    // The newest record is still being filled in by the worker.
    const uint64_t total = trace->count_.load(std::memory_order_acquire);
    if (total > 1) trace->writeRecords(total - 1);
  }
  return 0;
}

void DuplexTrace::writeRecords(uint64_t upTo) {
  if (upTo <= written_) return;
  const double frequency = static_cast<double>(performanceFrequency());
  const auto toMs = [&](int64_t ticks) {
    return frequency > 0 ? 1000.0 * static_cast<double>(ticks - origin_) / frequency : 0.0;
  };
  if (!headerWritten_) {
    // The first record stays in the ring for minutes, far longer than the writer waits.
    origin_ = records_[0].ticks;
    // The wall-clock time of the first wake-up, for placing the trace beside a recording
    // made by another program.
    const double wall =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() -
        toMs(BlockTiming::now()) / 1000.0;
    std::fprintf(file_,
                 "# full-duplex worker: %d Hz, %u blocks of %d frames (%d bytes); counter "
                 "frequency=%" PRId64 " origin=%" PRId64 " wall=%.3f",
                 format_.sampleRate, format_.blockCount, format_.blockFrames, format_.blockBytes,
                 performanceFrequency(), origin_, wall);
    if (format_.bufferFrames > 0) std::fprintf(file_, " buffer=%d", format_.bufferFrames);
    std::fputc('\n', file_);
    std::fprintf(file_,
                 "# ms ended cursor woken taken wrote dropouts onset event capture; ended: the ms "
                 "when the worker went back to waiting; wrote: first..last(count)"
                 "@ms the first began rendering; onset: block:frame@ms of the first sample "
                 "outside {-1, 0} after %d frames of none written in the wake-up, the ms when "
                 "its block was in the ring; capture: in=read position:peak of the input "
                 "read ('-' for none)\n",
                 kOnsetSilenceFrames);
    headerWritten_ = true;
  }
  if (upTo - written_ > kCapacity - kWriterMargin) {
    const uint64_t from = upTo - (kCapacity - kWriterMargin);
    std::fprintf(file_, "# %" PRIu64 " wake-ups overwritten before they were written\n",
                 from - written_);
    written_ = from;
  }
  const uint32_t blockCount = format_.blockCount;
  static const char* const kEvents[] = {"", " whole-ring", " ring-went-round", " stall"};
  for (; written_ < upTo; ++written_) {
    const DuplexTraceRecord& r = records_[written_ % kCapacity];
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
    char wrote[48];
    if (r.written == 0) {
      std::snprintf(wrote, sizeof wrote, "-");
    } else {
      const unsigned last = (r.firstWritten + r.written - 1u) % (blockCount ? blockCount : 1u);
      const int n =
          std::snprintf(wrote, sizeof wrote, "%u..%u(%u)", r.firstWritten, last, r.written);
      if (r.rendered != 0 && n > 0 && n < static_cast<int>(sizeof wrote)) {
        std::snprintf(wrote + n, sizeof wrote - n, "@%.3f", toMs(r.rendered));
      }
    }
    char onset[48];
    if (r.onsetBlock == DuplexTraceRecord::kNoOnset) {
      std::snprintf(onset, sizeof onset, "-");
    } else {
      std::snprintf(onset, sizeof onset, "%u:%u@%.3f", r.onsetBlock, r.onsetFrame,
                    toMs(r.onsetWritten));
    }
    char capture[32];
    char peak[16];
    if (r.captureRead == DuplexTraceRecord::kNoCursor) {
      std::snprintf(capture, sizeof capture, "-");
    } else {
      std::snprintf(capture, sizeof capture, "%u", r.captureRead);
    }
    if (r.capturePeak < 0) {
      std::snprintf(peak, sizeof peak, "-");
    } else {
      std::snprintf(peak, sizeof peak, "%d", r.capturePeak);
    }
    std::fprintf(file_, "%.3f %.3f %s %u %s %s %d %s%s in=%s:%s\n", toMs(r.ticks),
                 toMs(r.ended != 0 ? r.ended : r.ticks), cursor, r.woken, taken, wrote, r.dropouts,
                 onset, r.event < 4 ? kEvents[r.event] : "", capture, peak);
  }
  std::fflush(file_);
}
