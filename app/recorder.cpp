#include "app/recorder.h"

#include <cinttypes>
#include <cstdio>
#include <new>

namespace {

// Frames the writer takes from the ring per write call.
constexpr int64_t kChunkFrames = 4096;

}  // namespace

Recorder::~Recorder() {
  requestStop();
  if (thread_ != nullptr) {
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
  }
  if (stop_ != nullptr) CloseHandle(stop_);
}

Recorder::Start Recorder::start(const std::wstring& path, WavSampleFormat format,
                                int32_t sampleRate, int32_t channels) {
  if (!ring_.allocate(channels, sampleRate, int64_t{sampleRate} * kRingSeconds)) {
    return Start::kNoMemory;
  }
  chunk_.reset(new (std::nothrow) float[static_cast<size_t>(kChunkFrames * channels)]);
  if (!chunk_) return Start::kNoMemory;
  if (!writer_.create(path, format, sampleRate, channels)) return Start::kNoFile;
  stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (stop_ != nullptr) thread_ = CreateThread(nullptr, 0, writerMain, this, 0, nullptr);
  if (thread_ == nullptr) {
    // The empty file stays, a valid recording of nothing.
    writer_.finish(note());
    return Start::kNoThread;
  }
  return Start::kStarted;
}

void Recorder::requestStop() {
  if (stop_ != nullptr) SetEvent(stop_);
}

bool Recorder::waitEnded(DWORD milliseconds) const {
  return thread_ == nullptr || WaitForSingleObject(thread_, milliseconds) == WAIT_OBJECT_0;
}

std::string Recorder::note() const {
  char text[WavWriter::kNoteBytes] = {};
  std::snprintf(text, sizeof text,
                "Tonbrik recording. Lost frames (ring full): %" PRId64
                ". Gaps without sound: %d, %.1f s missing (not padded). Frames of another "
                "format: %" PRId64 ". Ring high-water: %" PRId64 " of %" PRId64 " frames.",
                lostFrames(), gaps(), static_cast<double>(missingMs()) / 1000.0, foreignFrames(),
                highWaterFrames(), ring_.capacityFrames());
  return text;
}

DWORD WINAPI Recorder::writerMain(LPVOID self) {
  static_cast<Recorder*>(self)->write();
  return 0;
}

bool Recorder::drain() {
  for (;;) {
    const int64_t frames = ring_.take(chunk_.get(), kChunkFrames);
    if (frames == 0) return true;
    if (!writer_.append(chunk_.get(), frames)) return false;
    framesWritten_.set(writer_.framesWritten());
  }
}

void Recorder::write() {
  DWORD headerAt = GetTickCount();
  for (;;) {
    const bool stopping = WaitForSingleObject(stop_, kDrainPeriodMs) == WAIT_OBJECT_0;
    bool ok = drain();
    if (stopping || !ok) {
      ok = writer_.finish(note()) && ok;
      failed_.set(!ok);
      return;
    }
    if (GetTickCount() - headerAt >= kHeaderPeriodMs) {
      headerAt = GetTickCount();
      if (!writer_.updateHeader(note())) {
        writer_.finish(note());
        failed_.set(true);
        return;
      }
    }
  }
}
