// The verdict the end-to-end suite gives on a recording must fail on every fault it claims
// to catch, wherever in the stretch it lies, and excuse only what outside evidence proves.
#include "stretch_verdict.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "external_evidence.h"

using namespace audio_analysis;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRate = 48000;
constexpr double kTone = 1114.085;
const ToneExpectation kExpect{1114.08, 2, 0.04, 0.06};

// Two seconds of the start-up tone, rounded to 16 bits as recorded.
std::vector<float> tone(double seconds = 2, double amplitude = 0.05) {
  std::vector<float> x(static_cast<size_t>(seconds * kRate));
  for (size_t i = 0; i < x.size(); ++i)
    x[i] = std::round(amplitude * std::sin(2 * kPi * kTone * i / kRate + 0.3) * 32768) / 32768;
  return x;
}

StretchVerdict judge(const std::vector<float>& x, const ExcuseFinder& excuses = {}) {
  return judgeStretch(x.data(), x.size(), kRate, 0, x.size() / kRate, kExpect, excuses,
                      VerdictLimits{});
}

// One excuse for every window that touches [from, to).
ExcuseFinder provenBetween(double from, double to) {
  return [=](double a, double b, bool) -> std::optional<Excuse> {
    if (a < to && b > from) return Excuse{"test", "proven"};
    return std::nullopt;
  };
}

}  // namespace

TEST(StretchVerdict, EveryWindowIsJudgedSoNoFaultHidesInTheStretch) {
  const std::vector<float> clean = tone();
  StretchVerdict verdict = judge(clean);
  EXPECT_TRUE(verdict.pass);
  EXPECT_EQ(verdict.windows, 20);
  EXPECT_DOUBLE_EQ(verdict.judgedShare, 1.0);
  EXPECT_NEAR(verdict.medianFrequency, kTone, 0.05);

  std::vector<float> dies = clean;  // the tone stops 1.15 s in, silence to the end
  std::fill(dies.begin() + 55200, dies.end(), 0.0f);
  verdict = judge(dies);
  EXPECT_FALSE(verdict.pass);
  EXPECT_EQ(verdict.gaps, 1) << "one silence, however many windows it fills";

  std::vector<float> hiss = clean;  // not exact zeros: noise 40 dB and more below the tone
  for (size_t i = 70000; i < hiss.size(); ++i) hiss[i] = (i % 7) * 5e-5f;
  EXPECT_FALSE(judge(hiss).pass);

  std::vector<float> endsEarly = clean;  // 2 ms of silence as the stretch's last samples
  std::fill(endsEarly.end() - 96, endsEarly.end(), 0.0f);
  EXPECT_EQ(judge(endsEarly).gaps, 1);

  std::vector<float> quieter = clean;  // 6 dB down in the second half
  for (size_t i = quieter.size() / 2; i < quieter.size(); ++i) quieter[i] /= 2;
  verdict = judge(quieter);
  EXPECT_FALSE(verdict.pass);
  EXPECT_EQ(verdict.levelFaults, 10) << "every window of the second half";

  std::vector<float> drifts = clean;  // 4 Hz high from 1.5 s on, with no break
  double phase = 2 * kPi * kTone * 72000 / kRate + 0.3;
  for (size_t i = 72000; i < drifts.size(); ++i, phase += 2 * kPi * (kTone + 4) / kRate)
    drifts[i] = 0.05f * static_cast<float>(std::sin(phase));
  verdict = judge(drifts);
  EXPECT_FALSE(verdict.pass);
  EXPECT_GE(verdict.pitchFaults, 4);

  std::vector<float> broken = clean;  // a block played twice: a jump of phase back and on
  std::copy(clean.begin() + 60000, clean.begin() + 60128, broken.begin() + 60128);
  verdict = judge(broken);
  EXPECT_FALSE(verdict.pass);
  EXPECT_EQ(verdict.breaks, 2);
}

TEST(StretchVerdict, OnlyProvenStallsAreLeftOutAndNoMoreThanTheCap) {
  std::vector<float> gapped = tone();
  std::fill(gapped.begin() + 60000, gapped.begin() + 60480, 0.0f);  // 10 ms at 1.25 s

  StretchVerdict verdict = judge(gapped, provenBetween(1.2, 1.3));
  EXPECT_TRUE(verdict.pass);
  ASSERT_EQ(verdict.excused.size(), 1u);
  EXPECT_EQ(verdict.excused[0].kind, "gap");
  EXPECT_NEAR(verdict.excusedShare, 0.05, 1e-9);
  EXPECT_FALSE(judge(gapped, provenBetween(3.2, 3.3)).pass) << "a stall two seconds away";

  std::vector<float> twice = gapped;  // a second gap, also proven: 10 % of the stretch
  std::fill(twice.begin() + 20000, twice.begin() + 20480, 0.0f);
  verdict = judge(twice, provenBetween(0, 2));
  EXPECT_FALSE(verdict.pass);
  EXPECT_TRUE(verdict.overCap);
  EXPECT_TRUE(verdict.faults.empty());

  // A recording that ends early: what is missing is not judged, so it cannot pass.
  const std::vector<float> shorter = tone(1.5);
  verdict = judgeStretch(shorter.data(), shorter.size(), kRate, 0, 2.0, kExpect, {}, {});
  EXPECT_TRUE(verdict.inconclusive);
  EXPECT_FALSE(verdict.pass);

  // A lost ring is asked about as a break: evidence of silence alone does not cover it.
  const ExcuseFinder silenceOnly = [](double, double, bool breaks) -> std::optional<Excuse> {
    if (breaks) return std::nullopt;
    return Excuse{"mixer_stall", "proven"};
  };
  addLostRings(verdict = judge(tone()), 0, 2, {0.5}, silenceOnly, VerdictLimits{});
  EXPECT_FALSE(verdict.pass);
  EXPECT_EQ(verdict.lostRings, 1);
  // Rings lost one after the other in one stall leave out that stretch once.
  addLostRings(verdict = judge(tone(4)), 0, 4, {0.5, 0.502, 0.504}, provenBetween(0.4, 0.6), {});
  EXPECT_TRUE(verdict.pass);
  EXPECT_NEAR(verdict.excusedShare, 0.104 / 4, 1e-9);
}

TEST(ExternalEvidence, StealOnEveryCoreOrARegistrySaveMustLieNearTheStretch) {
  ExternalEvidence evidence;
  evidence.setRecordingStart(1000);
  std::string log;
  // 100 ms samples; core 0 loses 3 ticks (30 ms) around 1.0 s; both cores lose 3 around 5.0 s.
  for (int i = 0; i <= 80; ++i) {
    const double t = 1000 + 0.1 * i;
    const int core0 = (i > 10) * 3 + (i > 50) * 3, core1 = (i > 50) * 3;
    log += std::to_string(t) + " " + std::to_string(core0) + " " + std::to_string(core1) + "\n";
  }
  ASSERT_TRUE(evidence.readStealLog(log, 100));
  EXPECT_FALSE(evidence.explain(0.95, 1.05, true)) << "the other core lost nothing";
  EXPECT_FALSE(evidence.explain(2.95, 3.05, true)) << "nothing near";
  const std::optional<Excuse> excuse = evidence.explain(4.95, 5.05, true);
  ASSERT_TRUE(excuse);
  EXPECT_EQ(excuse->rule, "host_steal");
  EXPECT_FALSE(evidence.explain(5.3, 5.4, true)) << "more than 0.1 s after it";

  // A WASAPI worker's trace counts positions in 16 periods of 480 frames while the stream
  // holds only its 1440-frame buffer ahead: 30 ms taken from every core is heard there.
  const std::string header =
      "# full-duplex worker: 48000 Hz, 16 blocks of 480 frames (1920 bytes); counter "
      "frequency=1000 origin=0 wall=1000.000";
  ExternalEvidence buffered, ringOnly;
  for (ExternalEvidence* e : {&buffered, &ringOnly}) {
    e->setRecordingStart(1000);
    ASSERT_TRUE(e->readStealLog(log, 100));
  }
  ASSERT_TRUE(buffered.readWorkerTrace(header + " buffer=1440\n"));
  ASSERT_TRUE(ringOnly.readWorkerTrace(header + "\n"));
  EXPECT_TRUE(buffered.explain(4.95, 5.05, true));
  EXPECT_FALSE(ringOnly.explain(4.95, 5.05, true)) << "less than the 160 ms ring";

  // The wineserver writing two branches of the registry, one after the other, from 8.0 s to
  // 8.06 s: one stall of every Wine thread, breaks included; nothing after it.
  ASSERT_TRUE(evidence.readRegistrySaves(
      "1008.000 start reg1a0001.tmp\n1008.040 saved system.reg\n"
      "1008.041 start reg1a0002.tmp\n1008.060 saved user.reg\n1020.0 start reg1a0003.tmp\n"));
  const std::optional<Excuse> save = evidence.explain(8.1, 8.2, true);
  ASSERT_TRUE(save);
  EXPECT_EQ(save->rule, "registry_save");
  EXPECT_NE(save->evidence.find("60.0 ms"), std::string::npos) << save->evidence;
  EXPECT_FALSE(evidence.explain(8.2, 8.3, true)) << "more than 0.1 s after it";
  EXPECT_FALSE(evidence.explain(20.0, 20.1, true)) << "a save that never ended proves nothing";
}

TEST(ExternalEvidence, AMixerStallNeedsAWorkerThatWaited) {
  // Wake-ups every 10 ms (counter in ms); each ends 1 ms after it began.
  const auto traceWith = [](int stallAt, double lastWakeUpMs, const char* event) {
    std::string text =
        "# full-duplex worker: 48000 Hz, 7 blocks of 128 frames (512 bytes); counter "
        "frequency=1000 origin=0 wall=1000.000\n";
    for (int t = 0; t <= 3000; t += 10) {
      if (t > stallAt - 30 && t < stallAt) continue;  // no notification for 30 ms
      const double ended = t == stallAt - 30 ? t + lastWakeUpMs : t + 1;
      text += std::to_string(t) + " " + std::to_string(ended) + " 0 0 0,1,2 0..2(3) 0 -" +
              (t == stallAt ? event : "") + "\n";
    }
    return text;
  };
  ExternalEvidence waited;
  waited.setRecordingStart(1000);
  ASSERT_TRUE(waited.readWorkerTrace(traceWith(1500, 1, "")));
  const std::optional<Excuse> excuse = waited.explain(1.45, 1.55, false);
  ASSERT_TRUE(excuse);
  EXPECT_EQ(excuse->rule, "mixer_stall");
  EXPECT_FALSE(waited.explain(2.5, 2.6, false));
  EXPECT_FALSE(waited.explain(1.45, 1.55, true)) << "a stalled mixer leaves silence, not a break";

  ExternalEvidence busy;  // the worker itself spent 25 ms in the wake-up before the "stall"
  busy.setRecordingStart(1000);
  ASSERT_TRUE(busy.readWorkerTrace(traceWith(1500, 25, "")));
  EXPECT_FALSE(busy.explain(1.45, 1.55, false));

  ExternalEvidence lost;  // a ring lost beside it: the program's sound was lost too
  lost.setRecordingStart(1000);
  ASSERT_TRUE(lost.readWorkerTrace(traceWith(1500, 1, " whole-ring")));
  EXPECT_FALSE(lost.explain(1.45, 1.55, false));
  ASSERT_EQ(lost.lostRings().size(), 1u);
  EXPECT_NEAR(lost.lostRings()[0], 1.5, 1e-6);
}
