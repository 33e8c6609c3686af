// The simulated full-duplex device where its behaviour is not obvious: ring
// locking across the end, and which notifications a clock step signals.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/platform.h"

namespace {

struct SimDuplex {
  WAVEFORMATEX format{WAVE_FORMAT_PCM, 2, 48000, 192000, 4, 16, 0};
  DSBUFFERDESC render{sizeof(DSBUFFERDESC), DSBCAPS_CTRLPOSITIONNOTIFY, 1024, 0, &format, {}};
  DSCBUFFERDESC capture{sizeof(DSCBUFFERDESC), 0, 2048, 0, &format, 0, nullptr};
  IDirectSoundFullDuplex* duplex = nullptr;
  IDirectSoundCaptureBuffer8* captureBuffer = nullptr;
  IDirectSoundBuffer8* renderBuffer = nullptr;

  SimDuplex() {
    sim::resetDsound();
    EXPECT_EQ(
        DirectSoundFullDuplexCreate(nullptr, nullptr, &capture, &render, nullptr, DSSCL_PRIORITY,
                                    &duplex, &captureBuffer, &renderBuffer, nullptr),
        DS_OK);
  }
  ~SimDuplex() {
    renderBuffer->Release();
    captureBuffer->Release();
    duplex->Release();
    EXPECT_EQ(sim::liveDsoundReferences(), 0);
    sim::resetDsound();
  }
};

TEST(SimDsound, LockSplitsAtTheRingEndAndUnlockWritesBoth) {
  SimDuplex d;
  void *p1, *p2;
  DWORD b1, b2;
  ASSERT_EQ(d.renderBuffer->Lock(1000, 100, &p1, &b1, &p2, &b2, 0), DS_OK);
  EXPECT_EQ(b1, 24u);
  EXPECT_EQ(b2, 76u);
  std::memset(p1, 0x11, b1);
  std::memset(p2, 0x22, b2);
  ASSERT_EQ(d.renderBuffer->Unlock(p1, b1, p2, b2), DS_OK);
  const std::vector<uint8_t> ring = sim::dsoundRenderRing();
  EXPECT_EQ(ring[999], 0);
  EXPECT_EQ(ring[1000], 0x11);
  EXPECT_EQ(ring[1023], 0x11);
  EXPECT_EQ(ring[75], 0x22);
  EXPECT_EQ(ring[76], 0);

  EXPECT_EQ(d.renderBuffer->Lock(1024, 4, &p1, &b1, &p2, &b2, 0), DSERR_INVALIDPARAM);
  EXPECT_EQ(d.renderBuffer->Lock(0, 2000, &p1, &b1, &p2, &b2, 0), DSERR_INVALIDPARAM);
  ASSERT_EQ(d.renderBuffer->Lock(512, 4, &p1, &b1, &p2, &b2, DSBLOCK_ENTIREBUFFER), DS_OK);
  EXPECT_EQ(b1 + b2, 1024u);
  d.renderBuffer->Unlock(p1, b1, p2, b2);
}

TEST(SimDsound, NotificationsFireAsThePlayPositionPassesThem) {
  SimDuplex d;
  HANDLE events[3];
  DSBPOSITIONNOTIFY positions[3];
  for (int i = 0; i < 3; ++i) {
    events[i] = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    positions[i] = {static_cast<DWORD>(100 + 400 * i), events[i]};  // 100, 500, 900
  }
  IDirectSoundNotify* notify = nullptr;
  ASSERT_EQ(
      d.renderBuffer->QueryInterface(IID_IDirectSoundNotify, reinterpret_cast<void**>(&notify)),
      S_OK);
  ASSERT_EQ(notify->SetNotificationPositions(3, positions), DS_OK);
  notify->Release();
  auto signaled = [&](int i) { return WaitForSingleObject(events[i], 0) == WAIT_OBJECT_0; };

  sim::advanceDsound(100);  // not playing: nothing moves
  EXPECT_EQ(sim::dsoundPlayPosition(), 0u);
  ASSERT_EQ(d.renderBuffer->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  sim::advanceDsound(25);  // to byte 100: the frame at 100 is not yet played
  EXPECT_FALSE(signaled(0));
  sim::advanceDsound(1);
  EXPECT_TRUE(signaled(0));
  EXPECT_FALSE(signaled(1));
  ResetEvent(events[0]);
  sim::advanceDsound(200);  // 104 -> 904, wrapping nothing
  EXPECT_TRUE(signaled(1));
  EXPECT_TRUE(signaled(2));
  for (HANDLE e : events) ResetEvent(e);
  sim::advanceDsound(256 + 30);  // a whole ring and more: every position passes
  EXPECT_TRUE(signaled(0) && signaled(1) && signaled(2));
  EXPECT_EQ(sim::dsoundPlayPosition(), (904u + 1144u) % 1024u);
  for (HANDLE e : events) CloseHandle(e);
}

// Wine's mixer: the cursor jumps a whole stretch first, then the offsets inside it are
// signalled one at a time in play order across the ring end.
TEST(SimDsound, MixerStretchMovesTheCursorFirstAndSignalsInPlayOrder) {
  SimDuplex d;
  HANDLE events[3];
  DSBPOSITIONNOTIFY positions[3];
  for (int i = 0; i < 3; ++i) {
    events[i] = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    positions[i] = {static_cast<DWORD>(900 - 400 * i), events[i]};  // 900, 500, 100
  }
  IDirectSoundNotify* notify = nullptr;
  ASSERT_EQ(
      d.renderBuffer->QueryInterface(IID_IDirectSoundNotify, reinterpret_cast<void**>(&notify)),
      S_OK);
  ASSERT_EQ(notify->SetNotificationPositions(3, positions), DS_OK);
  notify->Release();
  sim::setDsoundWriteLead(300);
  ASSERT_EQ(d.renderBuffer->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  sim::advanceDsound(150);  // to byte 600
  for (HANDLE e : events) ResetEvent(e);

  // 600 -> 1024 -> 176: offsets 900 and 100, in that order, the cursor already at 176.
  std::vector<int> order;
  DWORD playDuringBurst = 0;
  sim::mixDsoundStretch(150, [&] {
    for (int i = 0; i < 3; ++i) {
      if (WaitForSingleObject(events[i], 0) == WAIT_OBJECT_0) order.push_back(i);
    }
    d.renderBuffer->GetCurrentPosition(&playDuringBurst, nullptr);
  });
  EXPECT_EQ(order, std::vector<int>({0})) << "only the first offset before the hook";
  EXPECT_EQ(playDuringBurst, 176u);
  EXPECT_EQ(WaitForSingleObject(events[2], 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_NE(WaitForSingleObject(events[1], 0), static_cast<DWORD>(WAIT_OBJECT_0));

  DWORD play = 0, write = 0;
  ASSERT_EQ(d.renderBuffer->GetCurrentPosition(&play, &write), DS_OK);
  EXPECT_EQ(play, 176u);
  EXPECT_EQ(write, 476u) << "the write cursor leads the play cursor";
  sim::failDsound(sim::DsoundCall::RenderPosition);
  EXPECT_EQ(d.renderBuffer->GetCurrentPosition(&play, &write), DSERR_GENERIC);
  for (HANDLE e : events) CloseHandle(e);
}

TEST(SimDsound, CaptureFillsFromTheSourceBehindTheReadPosition) {
  SimDuplex d;
  sim::setDsoundCaptureSource([](uint64_t n) { return static_cast<int16_t>(n); });
  sim::setDsoundCaptureLead(8);
  ASSERT_EQ(d.captureBuffer->Start(DSCBSTART_LOOPING), DS_OK);
  sim::advanceDsound(600);  // 2400 bytes: wraps the 2048-byte ring
  DWORD c = 0, r = 0;
  ASSERT_EQ(d.captureBuffer->GetCurrentPosition(&c, &r), DS_OK);
  EXPECT_EQ(r, 352u);
  EXPECT_EQ(c, 360u);
  void *p1, *p2;
  DWORD b1, b2;
  ASSERT_EQ(d.captureBuffer->Lock(2040, 16, &p1, &b1, &p2, &b2, 0), DS_OK);
  ASSERT_EQ(b1, 8u);
  ASSERT_EQ(b2, 8u);
  // Byte 2040 holds sample 1020; bytes 0.. hold samples 1024.. of the second lap.
  EXPECT_EQ(static_cast<int16_t*>(p1)[0], 1020);
  EXPECT_EQ(static_cast<int16_t*>(p2)[0], 1024);
  EXPECT_EQ(d.captureBuffer->Unlock(p1, b1, p2, b2), DS_OK);
}

}  // namespace
