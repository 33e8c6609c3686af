// The program's one connection to MIDI devices: one input and one output.
// Input arrives through winmm (the driver's callback thread) or a DirectMusic input
// port (a worker thread of our own); either hands every message straight to the
// rack, with no queue. Received system-exclusive data is assembled into a ring that
// readSysexByte takes apart. Output sends short and long messages on winmm.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "common/block_timing.h"
#include "common/midi_delivery.h"
#include "common/relaxed.h"
#include "midi/driver_wait.h"
#include "midi/midi_result.h"
#include "midi/sysex_ring.h"
#include "platform/platform.h"

// Where input arrives from.
enum class MidiInputApi : uint8_t {
  Winmm,        // the multimedia MIDI service; the driver calls back on its own thread
  DirectMusic,  // a DirectMusic input port, read by a worker thread of the port
};

// A device index for "none": any negative index opens no device on that side.
inline constexpr int32_t kNoMidiDevice = -1;

// What MidiPort::open opens. Device indexes count from 0.
struct MidiOpenOptions {
  int32_t inDevice = kNoMidiDevice;
  int32_t outDevice = kNoMidiDevice;
  MidiInputApi inputApi = MidiInputApi::Winmm;
  // An index that does not exist is an error instead of falling back to the first device.
  bool strictDevice = false;
  // Only a hardware MIDI port or the MIDI mapper is accepted as output: a software
  // synthesizer would double the sound of our own.
  bool portsOnly = false;
  // Size of the ring for received system-exclusive data; 0 or less: none is received.
  int32_t sysexRingBytes = 0;
};

class MidiPort;

// What the winmm input callback is registered with, instead of the port itself: a
// driver that will not close may still call back after the port is gone, so when
// midiInClose gives up this small object is left to the driver in the port's place,
// no longer leading anywhere.
struct MidiInputLink {
  // Store and load of `port` against the count of calls inside are ordered both
  // ways (a store followed by a load on each side), which takes sequential
  // consistency: the closer must either see a call inside or keep that call out.
  std::atomic<MidiPort*> port{nullptr};
  std::atomic<int32_t> callsInside{0};
};

class MidiPort {
 public:
  static constexpr int32_t kSysexBufferCount = 2;
  static constexpr DWORD kSysexBufferBytes = 4096;
  static constexpr int32_t kMinRingBytes = 8192;
  static constexpr DWORD kMusicBufferBytes = 4096;
  // An event in a DirectMusic buffer: a 20-byte header and the data, padded to 8.
  static constexpr DWORD kMusicEventHeaderBytes = 20;
  static constexpr DWORD packedEventBytes(DWORD length) {
    return (kMusicEventHeaderBytes + length + 7) & ~DWORD{7};
  }
  static constexpr DWORD kWorkerStopMs = 500;
  static constexpr DWORD kResetPauseMs = 10;
  static constexpr DWORD kRetryPauseMs = DriverWait::kPauseMs;
  static constexpr int32_t kLongChunkBytes = 4096;
  static constexpr int32_t kPacedChunkBytes = 256;
  // CALLBACK_FUNCTION | MIDI_IO_STATUS: the driver reports a backlog with MIM_MOREDATA.
  static constexpr DWORD kInputOpenFlags = 0x30020;
  // The load figures when the performance counter has no frequency.
  static constexpr double kNoInputTiming = -1.0;

  MidiPort();
  ~MidiPort();
  MidiPort(const MidiPort&) = delete;
  MidiPort& operator=(const MidiPort&) = delete;

  // Any rack type with void processMidi(const uint8_t*, int32_t). `window` is used
  // by the DirectMusic input only. Returns a MidiResult.
  template <class Rack>
  int32_t open(Rack* rack, HWND window, const MidiOpenOptions& options) {
    return openWith(MidiReceiver::bind<&Rack::processMidi>(rack), window, options);
  }
  int32_t start();
  int32_t stop();
  void close();
  // Closes the output alone and opens `outDevice` (strictly, by that index) in its
  // place; the input goes on untouched. Returns a MidiResult; on failure no output is
  // open.
  int32_t reopenOutput(int32_t outDevice, bool portsOnly);
  bool deviceNames(std::string& inName, std::string& outName);

  // The next byte of a complete received system-exclusive message, or
  // SysexRing::kNothingToRead.
  int32_t readSysexByte() { return ring_.readByte(); }
  double peakInputMs() const;
  double meanInputMs() const;

  bool sendShort(uint8_t status, uint8_t data1, uint8_t data2);
  bool sendLong(const uint8_t* data, int32_t length, int32_t pauseMs);

  // A device that went away: the input's driver closed it unasked (its notes were
  // released on the spot), or a send on the output failed. Set on the thread that
  // noticed, read by the window, cleared by open and close.
  bool inputLost() const { return inputLost_.get(); }
  bool outputLost() const { return outputLost_.get(); }
  // Closes the input and the output, each only if it was lost, with one try at each
  // driver call: a device that is gone is not waited for. Whatever a driver does not
  // give back is left to it. The input's notes are released.
  void closeLostDevices();
  // The window found an open device missing from the device list.
  void markInputLost() { inputLost_.set(true); }
  void markOutputLost() { outputLost_.set(true); }
  // The device indexes open now, kNoMidiDevice for a side that is closed.
  int32_t openInputDevice() const { return midiIn_.get() ? inDevice_ : kNoMidiDevice; }
  int32_t openOutputDevice() const { return midiOut_.get() ? outDevice_ : kNoMidiDevice; }
  // Where the open device stands in the device list today, as its handle answers: it
  // moves as devices before it go and come. kNoMidiDevice for a side that is closed
  // or a handle that does not answer (a device that is gone).
  int32_t currentInputPlace() const;
  int32_t currentOutputPlace() const;

  // The winmm input callback; `instance` is the port's MidiInputLink.
  static void CALLBACK inputCallback(HMIDIIN handle, UINT message, DWORD_PTR instance,
                                     DWORD_PTR param1, DWORD_PTR param2);

  // Read access for observers and tests.
  const SysexRing& sysexRing() const { return ring_; }
  bool isRunning() const { return running_.get(); }
  bool hasSysexBuffer(int32_t index) const {
    return sysexBuffers_[index].load(std::memory_order_relaxed) != nullptr;
  }
  bool hasOutput() const { return midiOut_.get() != nullptr; }
  bool hasWinmmInput() const { return midiIn_.get() != nullptr; }
  bool hasMusicPort() const { return musicPort_ != nullptr; }
  bool hasReaderThread() const { return readerThread_ != nullptr; }

 private:
  int32_t openWith(MidiReceiver rack, HWND window, const MidiOpenOptions& options);
  int32_t openOutput(int32_t outDevice, bool strictDevice, bool portsOnly);
  void closeOutput();
  void closeOutput(DriverWait& wait);
  int32_t openWinmmInput(int32_t inDevice, bool strictDevice, int32_t sysexRingBytes);
  // True when no call of the input's callback can still be inside the port.
  bool closeWinmmInput(DriverWait& wait);
  int32_t stopWinmmInput(DriverWait& wait);
  // The callback no longer reaches this port; the link is freed if the input closed.
  // False when a call was still inside when the wait ran out.
  bool detachInputLink(bool closed);
  // Waits until the driver has handed every sysex buffer back, resetting it again
  // while one is still queued; false when the time ran out first.
  bool awaitSysexBuffers(HMIDIIN handle, DriverWait& wait);
  bool sysexBufferWithDriver() const;
  void queueSysexBuffer(HMIDIIN handle, int32_t index);
  int32_t openMusicInput(HWND window, int32_t inDevice, bool strictDevice);
  void closeMusicEvents();
  void releaseMusic();
  int32_t startMusicInput();
  int32_t stopMusicInput();

  // Input passes: the winmm callback body and the DirectMusic worker.
  void handleInput(UINT message, DWORD_PTR param1);
  void handleSysexBuffer(LPMIDIHDR header, bool error);
  void handleInputClosed();
  // Ends every note the input held, the sustained ones too, as note-offs would.
  void releaseInputNotes();
  void noteOutputError() { outputLost_.set(true); }
  static DWORD WINAPI readerMain(LPVOID instance);
  void readPass();
  void drainMusicPort();
  bool readMusicPort(DWORD* used);
  void noteInputPass(int64_t startTicks);
  static double inputMs(double ticks);

  bool comInitialized_ = false;
  IDirectMusic8* music_ = nullptr;
  IDirectMusicPort8* musicPort_ = nullptr;
  IDirectMusicBuffer8* musicBuffer_ = nullptr;
  HANDLE readerThread_ = nullptr;
  HANDLE readEvent_ = nullptr;
  HANDLE stopEvent_ = nullptr;
  // The duration of every input pass, cleared at start and close.
  BlockTiming inputTiming_;
  MidiReceiver rack_;
  Relaxed<HMIDIIN> midiIn_;
  Relaxed<HMIDIOUT> midiOut_;
  // A sysex buffer and its header in one block, so that a block the driver will not
  // give back can be left to it whole.
  struct SysexBuffer {
    MIDIHDR header;
    uint8_t data[kSysexBufferBytes];
  };
  // Set and cleared by the window thread, read by the callback, which may run on
  // while the window clears them: hence atomic.
  std::atomic<SysexBuffer*> sysexBuffers_[kSysexBufferCount] = {};
  // Per sysex buffer: queued with the driver and not yet handled by the callback.
  // Cleared with release after the callback's last touch of the buffer, so that the
  // window thread, which reads it with acquire, may unprepare and free the buffer.
  std::atomic<bool> sysexQueued_[kSysexBufferCount] = {};
  MidiInputLink* inputLink_ = nullptr;
  // What sendLong hands the driver: made by open, so a send allocates nothing. Taken
  // by one send at a time; left to a driver that does not give it back.
  struct SendBlock {
    MIDIHDR header;
    uint8_t bytes[kLongChunkBytes];
  };
  SendBlock* sendBlock_ = nullptr;
  std::atomic<bool> sendBlockBusy_{false};
  // A chunk the driver has not given back yet: the block is not free until it has.
  bool sendBlockOut_ = false;
  int32_t inDevice_ = kNoMidiDevice;
  int32_t outDevice_ = kNoMidiDevice;
  Relaxed<bool> running_;
  // Buffers the driver hands back are not queued again: from the start of a stop
  // until the next start, and through close until the input is closed.
  Relaxed<bool> resetting_;
  // The input is being closed on our request: its MIM_CLOSE is not a loss.
  Relaxed<bool> closingInput_;
  Relaxed<bool> inputLost_;
  Relaxed<bool> outputLost_;
  SysexRing ring_;
};
