// Opening, starting and stopping the full-duplex engine, and what it asks of the
// sound service; streaming itself is in dsound_duplex_stream_test.cpp.
#include <ctime>
#include <thread>

#include "dsound_fixture.h"

namespace {

using DsoundSetup = DsoundFixture;

struct Sizing {
  int sampleRate;
  int framesWanted;
  int countSetting;
  int blockFrames;
  uint32_t blockCount;
};

TEST_F(DsoundSetup, BlockSizeAndCountFollowTheRateAndSetting) {
  const Sizing cases[] = {
      {44100, 64, 0, 64, 8},    {44100, 64, -1, 64, 12},   {44100, 64, -5, 64, 15},
      {48000, 128, -1, 128, 7}, {48000, 128, 61, 128, 61}, {48000, 128, 1, 128, 2},
      {48000, 32, 4, 64, 4},    {96000, 32, 4, 128, 4},    {192000, 32, 4, 256, 4},
      {48000, 512, 4, 512, 4},
  };
  for (const Sizing& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.sampleRate << " Hz, " << c.framesWanted
                                      << " frames, setting " << c.countSetting);
    ASSERT_EQ(engine.open(&rack, window, 2, c.sampleRate, c.framesWanted, c.countSetting), AudioOk);
    EXPECT_EQ(engine.blockFrames(), c.blockFrames);
    EXPECT_EQ(engine.blockCount(), c.blockCount);
    EXPECT_EQ(engine.renderBytes(), static_cast<uint32_t>(c.blockFrames * 4) * c.blockCount);
    EXPECT_EQ(engine.captureBytes(), 3 * engine.renderBytes());
  }
  EXPECT_EQ(engine.open(&rack, window, 2, 48000, 128, 62), AudioTooManyBlocks);
  EXPECT_FALSE(engine.isOpened());
}

TEST_F(DsoundSetup, ChannelArgumentSelectsMonoOrStereo) {
  const int arguments[] = {0, 1, 2, 3};
  const int expected[] = {1, 1, 2, 2};
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(engine.open(&rack, window, arguments[i], 48000, 128, DsoundDuplex::kRingOf15Ms),
              AudioOk);
    EXPECT_EQ(engine.channels(), expected[i]);
    EXPECT_EQ(engine.frameBytes(), 2 * expected[i]);
    EXPECT_EQ(engine.blockBytes(), 128 * 2 * expected[i]);
    EXPECT_EQ(sim::lastDsoundCreate().renderFormat.nChannels, expected[i]);
  }
}

TEST_F(DsoundSetup, CreatesTheStreamsWithTheFixedFormatAndDescriptions) {
  ASSERT_EQ(openWindowSettings(), AudioOk);
  const sim::DsoundCreateCall call = sim::lastDsoundCreate();
  EXPECT_TRUE(call.captureDeviceNull);
  EXPECT_TRUE(call.renderDeviceNull);
  EXPECT_TRUE(call.outerNull);
  EXPECT_EQ(call.window, window);
  EXPECT_EQ(call.level, 2u);

  EXPECT_EQ(call.renderDesc.dwSize, sizeof(DSBUFFERDESC));
  EXPECT_EQ(call.renderDesc.dwFlags, 0x18108u);
  EXPECT_EQ(call.renderDesc.dwBufferBytes, 3584u);
  EXPECT_EQ(call.renderDesc.dwReserved, 0u);
  EXPECT_EQ(call.renderDesc.guid3DAlgorithm, GUID{});
  EXPECT_EQ(call.captureDesc.dwSize, sizeof(DSCBUFFERDESC));
  EXPECT_EQ(call.captureDesc.dwFlags, 0u);
  EXPECT_EQ(call.captureDesc.dwBufferBytes, 3 * 3584u);
  EXPECT_EQ(call.captureDesc.dwFXCount, 0u);
  EXPECT_EQ(call.captureDesc.lpDSCFXDesc, nullptr);

  for (const WAVEFORMATEX& f : {call.renderFormat, call.captureFormat}) {
    EXPECT_EQ(f.wFormatTag, 1);
    EXPECT_EQ(f.nChannels, 2);
    EXPECT_EQ(f.nSamplesPerSec, 48000u);
    EXPECT_EQ(f.nAvgBytesPerSec, 192000u);
    EXPECT_EQ(f.nBlockAlign, 4);
    EXPECT_EQ(f.wBitsPerSample, 16);
    EXPECT_EQ(f.cbSize, 0);
  }
}

TEST_F(DsoundSetup, NotifiesAtTheLastFrameOfEveryBlockWithItsOwnEvent) {
  ASSERT_EQ(openWindowSettings(), AudioOk);
  const std::vector<DSBPOSITIONNOTIFY> positions = sim::dsoundNotificationPositions();
  ASSERT_EQ(positions.size(), 7u);
  for (size_t i = 0; i < positions.size(); ++i) {
    EXPECT_EQ(positions[i].dwOffset, 508u + 512u * i);
    ASSERT_NE(positions[i].hEventNotify, nullptr);
    EXPECT_EQ(WaitForSingleObject(positions[i].hEventNotify, 0), WAIT_TIMEOUT);
    for (size_t k = 0; k < i; ++k) EXPECT_NE(positions[k].hEventNotify, positions[i].hEventNotify);
  }
  EXPECT_EQ(positions.back().dwOffset, 3580u);
}

TEST_F(DsoundSetup, OpenFailuresGiveTheirCodesAndLeaveNothingAfterRelease) {
  EXPECT_EQ(engine.open(nullptr, window, 2, 48000, 128, DsoundDuplex::kRingOf15Ms), AudioNoRack);

  sim::failDsound(sim::DsoundCall::FullDuplexCreate, 1, DSERR_NODRIVER);
  EXPECT_EQ(openWindowSettings(), AudioFailed);
  EXPECT_EQ(engine.lastHostError(), DSERR_NODRIVER);
  engine.release();

  sim::failDsound(sim::DsoundCall::QueryNotify);
  EXPECT_EQ(openWindowSettings(), AudioNotificationFailed);
  EXPECT_FALSE(engine.isOpened());
  engine.release();
  EXPECT_EQ(sim::liveDsoundReferences(), 0);

  sim::failDsound(sim::DsoundCall::SetNotificationPositions, 1, DSERR_INVALIDPARAM);
  EXPECT_EQ(openWindowSettings(), AudioNotificationFailed);
  EXPECT_EQ(engine.lastHostError(), DSERR_INVALIDPARAM);
  engine.release();
  EXPECT_EQ(sim::liveDsoundReferences(), 0);

  // An event that cannot be created would leave the worker unable to wait: the
  // first block event, the stop request and the start handshake (7 blocks).
  for (int after : {0, 7, 8}) {
    sim::failNextCreateEvent(1, after);
    EXPECT_EQ(openWindowSettings(), AudioNotificationFailed) << "event " << after;
    EXPECT_EQ(engine.lastHostError(), S_OK) << "no sound-service call failed";
    EXPECT_EQ(engine.start(DuplexOutput::Play), AudioFailed);
    engine.release();
  }

  // A ring beyond what the service can hold is refused before it is asked, also
  // where the byte counts would not fit 32 bits.
  const int creates = sim::dsoundCreateCount();
  EXPECT_EQ(engine.open(&rack, window, 2, 48000, INT32_MAX, 4), AudioFailed);
  EXPECT_EQ(sim::dsoundCreateCount(), creates);
  EXPECT_FALSE(engine.isOpened());

  // A rate the service rejects.
  EXPECT_EQ(engine.open(&rack, window, 2, 0, 128, 4), AudioFailed);
  EXPECT_EQ(engine.stop(), AudioFailed);
}

TEST_F(DsoundSetup, StartAndStopNeedAnOpenedEngine) {
  EXPECT_EQ(engine.start(DuplexOutput::Play), AudioFailed);
  EXPECT_EQ(engine.stop(), AudioFailed);
  ASSERT_EQ(openWindowSettings(), AudioOk);
  engine.release();
  EXPECT_EQ(engine.start(DuplexOutput::Play), AudioFailed);
  EXPECT_EQ(engine.stop(), AudioFailed);
}

TEST_F(DsoundSetup, StartRunsTheWorkerAndTheRingsFromASilentRing) {
  setUpSynth(rack, 16);
  ASSERT_EQ(openWindowSettings(), AudioOk);
  // A first run leaves the tone in the ring, and the play position mid-ring.
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  playBlocks(10);
  ASSERT_EQ(engine.stop(), AudioOk);

  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  ASSERT_NE(engine.thread(), nullptr);
  EXPECT_EQ(sim::threadPriorityOf(engine.thread()), THREAD_PRIORITY_TIME_CRITICAL);
  EXPECT_TRUE(sim::dsoundRenderPlaying());
  EXPECT_TRUE(sim::dsoundCapturing());
  EXPECT_EQ(sim::dsoundPlayPosition(), 0u);
  for (uint8_t byte : sim::dsoundRenderRing()) ASSERT_EQ(byte, 0);
  EXPECT_FALSE(engine.inSync());
  EXPECT_EQ(engine.captureReadPos(), DsoundDuplex::kNoCapturePosition);

  EXPECT_EQ(engine.stop(), AudioOk);
  EXPECT_EQ(engine.thread(), nullptr);
  EXPECT_FALSE(sim::dsoundRenderPlaying());
  EXPECT_FALSE(sim::dsoundCapturing());
  EXPECT_EQ(sim::terminatedThreadCount(), 0);
  EXPECT_TRUE(engine.isOpened());
}

TEST_F(DsoundSetup, StartOnARunningEngineOnlyChangesModeAndClearsFigures) {
  setUpSynth(rack, 16);
  ASSERT_EQ(openWindowSettings(), AudioOk);
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  const HANDLE worker = engine.thread();
  playBlocks(3);
  ASSERT_GT(engine.peakTicks(), 0.0);
  const int locks = sim::dsoundRenderLockCount();

  EXPECT_EQ(engine.start(DuplexOutput::SilenceWhileRendering), AudioOk);
  EXPECT_EQ(engine.thread(), worker);
  EXPECT_EQ(engine.outputMode(), DuplexOutput::SilenceWhileRendering);
  EXPECT_EQ(engine.peakTicks(), 0.0);
  EXPECT_EQ(engine.averageTicks(), 0.0);
  EXPECT_EQ(engine.dropouts(), 0);
  EXPECT_TRUE(engine.inSync());
  EXPECT_EQ(sim::dsoundRenderLockCount(), locks) << "the ring was silenced again";
  EXPECT_EQ(sim::dsoundPlayPosition(), 3u * 512u);
}

TEST_F(DsoundSetup, StartFailuresOfTheRenderBuffer) {
  ASSERT_EQ(openWindowSettings(), AudioOk);
  const sim::DsoundCall calls[] = {sim::DsoundCall::GetStatus, sim::DsoundCall::RenderLock,
                                   sim::DsoundCall::SetCurrentPosition};
  for (sim::DsoundCall call : calls) {
    sim::failDsound(call, 1, DSERR_INVALIDCALL);
    EXPECT_EQ(engine.start(DuplexOutput::Play), AudioStreamSetupFailed);
    EXPECT_EQ(engine.lastHostError(), DSERR_INVALIDCALL);
    EXPECT_EQ(engine.thread(), nullptr);
  }

  sim::loseDsoundRenderBuffer();
  sim::failDsound(sim::DsoundCall::Restore);
  EXPECT_EQ(engine.start(DuplexOutput::Play), AudioStreamSetupFailed);
  EXPECT_EQ(engine.start(DuplexOutput::Play), AudioOk) << "a lost buffer is restored";
  EXPECT_TRUE(sim::dsoundRenderPlaying());
}

TEST_F(DsoundSetup, FailedPlayOrCaptureStartStopsEverythingAgain) {
  ASSERT_EQ(openWindowSettings(), AudioOk);
  for (sim::DsoundCall call : {sim::DsoundCall::Play, sim::DsoundCall::CaptureStart}) {
    sim::failDsound(call, 1, DSERR_BUFFERLOST);
    EXPECT_EQ(engine.start(DuplexOutput::Play), AudioStartStopFailed);
    // The failure of the start, not of the stop that undoes it.
    EXPECT_EQ(engine.lastHostError(), DSERR_BUFFERLOST);
    EXPECT_EQ(engine.thread(), nullptr);
    EXPECT_FALSE(sim::dsoundRenderPlaying());
    EXPECT_FALSE(sim::dsoundCapturing());
    EXPECT_TRUE(engine.isOpened());
  }
  EXPECT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  EXPECT_EQ(engine.lastHostError(), S_OK);
}

TEST_F(DsoundSetup, WorkerThatCannotBeCreatedFailsStartInsteadOfHanging) {
  ASSERT_EQ(openWindowSettings(), AudioOk);
  sim::failNextCreateThread();
  EXPECT_EQ(engine.start(DuplexOutput::Play), AudioNotificationFailed);
  EXPECT_EQ(engine.thread(), nullptr);
  EXPECT_FALSE(sim::dsoundRenderPlaying());
  EXPECT_FALSE(sim::dsoundCapturing());
  EXPECT_EQ(engine.start(DuplexOutput::Play), AudioOk) << "the engine stays usable";
  EXPECT_EQ(engine.stop(), AudioOk);
}

TEST_F(DsoundSetup, StartWaitsForASlowWorkerWithoutSpinning) {
  ASSERT_EQ(openWindowSettings(), AudioOk);
  sim::delayNextThreadStart(500);
  const std::clock_t cpuBefore = std::clock();
  EXPECT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  const double cpuMs = 1000.0 * static_cast<double>(std::clock() - cpuBefore) / CLOCKS_PER_SEC;
  EXPECT_LT(cpuMs, 25.0) << "the window thread spins while the worker is not yet running";
  EXPECT_TRUE(sim::dsoundRenderPlaying());
  EXPECT_EQ(engine.stop(), AudioOk);
}

TEST_F(DsoundSetup, StopFailureIsReportedButTheWorkerStillEnds) {
  ASSERT_EQ(openWindowSettings(), AudioOk);
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  sim::failDsound(sim::DsoundCall::RenderStop, 1, DSERR_NODRIVER);
  EXPECT_EQ(engine.stop(), AudioStartStopFailed);
  EXPECT_EQ(engine.lastHostError(), DSERR_NODRIVER);
  EXPECT_EQ(engine.thread(), nullptr);
  EXPECT_FALSE(sim::dsoundCapturing()) << "the capture ring is stopped all the same";
}

TEST_F(DsoundSetup, RingPlayingWithoutItsWorkerIsStartedAfresh) {
  setUpSynth(rack, 16);
  ASSERT_EQ(openWindowSettings(), AudioOk);

  // A failed stop leaves the ring playing with no worker behind it.
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  playBlocks(3);
  sim::failDsound(sim::DsoundCall::RenderStop);
  ASSERT_EQ(engine.stop(), AudioStartStopFailed);
  ASSERT_TRUE(sim::dsoundRenderPlaying());
  ASSERT_EQ(engine.thread(), nullptr);
  EXPECT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  ASSERT_NE(engine.thread(), nullptr) << "success with no worker to fill the ring";
  EXPECT_EQ(WaitForSingleObject(engine.thread(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(sim::dsoundPlayPosition(), 0u) << "started from a silent ring";
  playBlocks(2);
  EXPECT_EQ(sim::dsoundRenderLockCount(), 1 + 3 + 1 + 2);

  // A worker that ended by itself while the ring plays on.
  const HANDLE dead = engine.thread();
  TerminateThread(dead, 1);
  ASSERT_EQ(WaitForSingleObject(dead, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  ASSERT_NE(engine.thread(), nullptr);
  EXPECT_EQ(WaitForSingleObject(engine.thread(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  playBlocks(1);
  EXPECT_TRUE(engine.inSync());
  EXPECT_EQ(engine.stop(), AudioOk);
}

TEST_F(DsoundSetup, StopAfterTheWorkerEndedLeavesNoStaleStopRequest) {
  ASSERT_EQ(openWindowSettings(), AudioOk);
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  TerminateThread(engine.thread(), 1);
  ASSERT_EQ(WaitForSingleObject(engine.thread(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(engine.stop(), AudioOk);
  EXPECT_EQ(engine.start(DuplexOutput::Play), AudioOk)
      << "the next start must not find the old stop request";
  EXPECT_EQ(engine.stop(), AudioOk);
}

// Killed inside a call of the sound service, a worker could leave its lock held or the
// rack half rendered: it is waited for, and one that never ends is left running.
TEST_F(DsoundSetup, WorkerStuckInACallIsWaitedForAndNeverKilled) {
  setUpSynth(rack, 16);
  ASSERT_EQ(openWindowSettings(), AudioOk);
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  // Stuck far longer than the ring (18.7 ms), as a stalled host or service can keep it.
  sim::blockDsoundRenderLock(true);
  sim::advanceDsound(128);
  while (!sim::dsoundRenderLockBlocked()) Sleep(1);
  std::thread release([] {
    Sleep(500);
    sim::blockDsoundRenderLock(false);
  });
  EXPECT_EQ(engine.stop(), AudioOk);
  release.join();
  EXPECT_EQ(engine.thread(), nullptr);
  EXPECT_EQ(sim::terminatedThreadCount(), 0);
  EXPECT_FALSE(engine.workerLeftRunning());

  // Stuck for good: left running, the engine lost and kept with what the worker reaches.
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  sim::blockDsoundRenderLock(true);
  sim::advanceDsound(128);
  while (!sim::dsoundRenderLockBlocked()) Sleep(1);
  const int locks = sim::dsoundRenderLockCount();
  EXPECT_EQ(engine.stop(), AudioWorkerLeftRunning);
  EXPECT_EQ(sim::terminatedThreadCount(), 0);
  EXPECT_TRUE(engine.workerLeftRunning());
  EXPECT_TRUE(engine.lost());
  engine.release();
  EXPECT_TRUE(engine.isOpened());
  EXPECT_GT(sim::liveDsoundReferences(), 0);
  EXPECT_EQ(engine.start(DuplexOutput::Play), AudioNotificationFailed);
  EXPECT_EQ(engine.stop(), AudioWorkerLeftRunning) << "looked at, not waited for again";

  // Back from its call, it renders nothing more and ends; only then is it all released.
  sim::blockDsoundRenderLock(false);
  sim::advanceDsound(3 * 128);
  while (sim::dsoundRenderLockBlocked()) Sleep(1);
  for (int waited = 0; waited < 2000 && engine.workerLeftRunning(); waited += 10) {
    Sleep(10);
    engine.release();
  }
  EXPECT_FALSE(engine.workerLeftRunning());
  EXPECT_FALSE(engine.isOpened());
  EXPECT_EQ(sim::dsoundRenderLockCount(), locks + 1) << "only the lock it was stuck in";
}

TEST_F(DsoundSetup, StopWaitsForABusyWorkerAlsoWithRingsWhoseLengthPassesThirtyTwoBits) {
  // 2 blocks of 107375 stereo frames: 2 * 10000 * 214750 passes 2^32 by 32704, so a
  // time-out computed from the ring in 32 bits would leave no time to wait at all.
  ASSERT_EQ(engine.open(&rack, window, 2, 48000, 107375, 2), AudioOk);
  ASSERT_EQ(engine.start(DuplexOutput::NoRender), AudioOk);
  // The worker is busy with a block when asked to stop, and gets free a little later.
  sim::blockDsoundRenderLock(true);
  sim::advanceDsound(107375);
  while (!sim::dsoundRenderLockBlocked()) Sleep(1);
  std::thread release([] {
    Sleep(100);
    sim::blockDsoundRenderLock(false);
  });
  EXPECT_EQ(engine.stop(), AudioOk);
  release.join();
  EXPECT_EQ(engine.thread(), nullptr);
  EXPECT_EQ(sim::terminatedThreadCount(), 0);
}

TEST_F(DsoundSetup, DeviceNamesAreTheDefaultDevicesDescriptions) {
  std::string capture = "old", render = "old";
  EXPECT_TRUE(engine.deviceNames(capture, render)) << "needs no open engine";
  EXPECT_EQ(capture, "Primary Sound Capture Driver");
  EXPECT_EQ(render, "Primary Sound Driver");

  sim::setDsoundDescriptions("Line In (Sim)", "Speakers (Sim)");
  sim::failDsound(sim::DsoundCall::EnumerateCapture);
  EXPECT_FALSE(engine.deviceNames(capture, render));
  EXPECT_EQ(capture, "");
  EXPECT_EQ(render, "Speakers (Sim)");
}

TEST_F(DsoundSetup, WideDeviceNamesKeepWhatNoCodePageHolds) {
  sim::setDsoundDescriptions(
      "\xD0\x9C\xD0\xB8\xD0\xBA\xD1\x80\xD0\xBE\xD1\x84\xD0\xBE\xD0\xBD",
      "\xE3\x82\xB9\xE3\x83\x94\xE3\x83\xBC\xE3\x82\xAB\xE3\x83\xBC \xF0\x9F\x94\x8A");
  std::wstring capture = L"old", render = L"old";
  EXPECT_TRUE(engine.deviceNamesW(capture, render));
  EXPECT_EQ(capture, L"\u041C\u0438\u043A\u0440\u043E\u0444\u043E\u043D");
  EXPECT_EQ(render, L"\u30B9\u30D4\u30FC\u30AB\u30FC \U0001F50A");

  sim::failDsound(sim::DsoundCall::EnumerateRender);
  EXPECT_FALSE(engine.deviceNamesW(capture, render));
  EXPECT_EQ(render, L"");
}

}  // namespace
