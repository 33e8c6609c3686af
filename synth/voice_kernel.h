// The voice bank kernel and its sine, written once over a lane type (see the
// vector_ops_*.h headers) and compiled once per instruction set. Everything here
// has internal linkage: each instruction set's copy stays in its own object file,
// so the linker can never hand a wider copy to a processor without it.
#pragma once

#include <cstdint>

#include "synth/phase_reduction.h"
#include "synth/voice_bank.h"

namespace {

// Without fused multiply-add: pi/2 split into 33 bits, 33 bits and the rest, so
// that n * part is exact for every quadrant count n below 2^20.
constexpr double kHalfPi1 = 0x1.921fb544p+0;
constexpr double kHalfPi2 = 0x1.0b4611a6p-34;
constexpr double kHalfPi3 = 0x1.3198a2e037073p-69;
// With it: pi/2 as three full doubles. The reduction with exact products covers
// every phase whose quadrant count the rounded x * 2/pi still gets right within one.
constexpr double kFusedReductionLimit = 0x1p40;
constexpr double kHalfPiHigh = 0x1.921fb54442d18p+0;
constexpr double kHalfPiMid = 0x1.1a62633145c07p-54;
constexpr double kHalfPiLow = -0x1.f1976b7ed8fbcp-110;
constexpr double kTwoOverPi = 0x1.45f306dc9c883p-1;
// Adding this rounds to an integer and leaves it in the low mantissa bits.
constexpr double kRoundingBias = 0x1.8p52;
// Below this magnitude sin(x) rounds to x itself.
constexpr double kTinyPhase = 0x1p-26;

// Kernel polynomials on [-pi/4, pi/4] (the classic fdlibm minimax sets).
constexpr double kS1 = -1.66666666666666324348e-01;
constexpr double kS2 = 8.33333333332248946124e-03;
constexpr double kS3 = -1.98412698298579493134e-04;
constexpr double kS4 = 2.75573137070700676789e-06;
constexpr double kS5 = -2.50507602534068634195e-08;
constexpr double kS6 = 1.58969099521155010221e-10;
constexpr double kC1 = 4.16666666666666019037e-02;
constexpr double kC2 = -1.38888888888741095749e-03;
constexpr double kC3 = 2.48015872894767294178e-05;
constexpr double kC4 = -2.75573143513906633035e-07;
constexpr double kC5 = 2.08757232129817482790e-09;
constexpr double kC6 = -1.13596475577881948265e-11;

// sin(x) for lanes holding float values, within one ulp for every float. Only
// kChecked copes with |x| beyond kShortReductionLimit (and with non-finite x).
template <class V, bool kChecked>
[[gnu::always_inline]] inline typename V::D phaseSine(typename V::D x) {
  using D = typename V::D;
  const D bias = V::set(kRoundingBias);
  // n in the low mantissa bits of biased, and as a double in n.
  D biased = V::add(V::mul(x, V::set(kTwoOverPi)), bias);
  D n = V::sub(biased, bias);
  // x - n*pi/2 as high + low. The first step is exact in both variants: x is a
  // float, so x and n * (first part) are multiples of 2^-52 that differ by less than 1.
  D high, low;
  if constexpr (V::kFused && kChecked) {
    // Wider phases need the product n * kHalfPiMid exactly: its error term and a
    // two-sum make the reduction exact up to kFusedReductionLimit.
    const D a = V::mulSubFrom(n, V::set(kHalfPiHigh), x);
    const D p = V::mul(n, V::set(kHalfPiMid));
    const D productError = V::mulSub(n, V::set(kHalfPiMid), p);  // n * mid = p + productError
    const D s = V::sub(a, p);
    const D z = V::sub(s, a);
    const D sumError = V::sub(V::sub(a, V::sub(s, z)), V::add(p, z));  // s + sumError = a - p
    const D tail = V::mulSubFrom(n, V::set(kHalfPiLow), V::sub(sumError, productError));
    high = V::add(s, tail);
    low = V::sub(tail, V::sub(high, s));
  } else if constexpr (V::kFused) {
    const D a = V::mulSubFrom(n, V::set(kHalfPiHigh), x);
    high = V::mulSubFrom(n, V::set(kHalfPiMid), a);
    // a - high is exact: no float below the limit lies within 4e-9 of a multiple
    // of pi/2, far more than n * kHalfPiMid, so high is within a factor 2 of a.
    // n * kHalfPiLow (below 4e-28 here) is under 1e-19 of any remainder: dropped.
    low = V::mulSubFrom(n, V::set(kHalfPiMid), V::sub(a, high));
  } else {
    const D a = V::mulSubFrom(n, V::set(kHalfPi1), x);
    const D b = V::mul(n, V::set(kHalfPi2));  // exact
    const D s = V::sub(a, b);
    const D z = V::sub(s, a);
    const D error = V::sub(V::sub(a, V::sub(s, z)), V::add(b, z));  // two-sum: s + error = a - b
    const D tail = V::mulSubFrom(n, V::set(kHalfPi3), error);
    high = V::add(s, tail);
    low = V::sub(tail, V::sub(high, s));
  }

  constexpr double kLimit = V::kFused ? kFusedReductionLimit : kShortReductionLimit;
  if (kChecked && !V::all(V::lessEqual(V::abs(x), V::set(kLimit)))) [[unlikely]] {
    double lanes[V::kLanes], quadrants[V::kLanes], highs[V::kLanes], lows[V::kLanes];
    V::store(lanes, x);
    V::store(quadrants, n);
    V::store(highs, high);
    V::store(lows, low);
    reduceWideLanes(lanes, quadrants, highs, lows, V::kLanes, kLimit);
    n = V::load(quadrants);
    biased = V::add(n, bias);
    high = V::load(highs);
    low = V::load(lows);
  }

  const D r2 = V::mul(high, high);
  const D r4 = V::mul(r2, r2);
  const D half = V::set(0.5);
  const D one = V::set(1.0);

  // sin(high + low)
  D ps = V::mulAdd(r2, V::set(kS4), V::set(kS3));
  ps = V::mulAdd(r2, ps, V::set(kS2));
  D ps2 = V::mulAdd(r2, V::set(kS6), V::set(kS5));
  ps = V::mulAdd(V::mul(r2, r4), ps2, ps);
  const D r3 = V::mul(r2, high);
  D sine = V::mulSubFrom(r3, ps, V::mul(half, low));
  sine = V::mulSub(r2, sine, low);
  sine = V::mulSubFrom(r3, V::set(kS1), sine);
  sine = V::sub(high, sine);

  // cos(high + low)
  D pc = V::mulAdd(r2, V::set(kC3), V::set(kC2));
  pc = V::mulAdd(r2, pc, V::set(kC1));
  D pc2 = V::mulAdd(r2, V::set(kC6), V::set(kC5));
  pc2 = V::mulAdd(r2, pc2, V::set(kC4));
  pc = V::mulAdd(V::mul(r4, r4), pc2, V::mul(r2, pc));
  const D hz = V::mul(half, r2);
  const D w = V::sub(one, hz);
  const D correction = V::add(V::sub(V::sub(one, w), hz), V::mulSub(r2, pc, V::mul(high, low)));
  const D cosine = V::add(w, correction);

  const D result = V::flipSign(V::select(V::odd(biased), cosine, sine), V::signOfBit1(biased));
  if constexpr (V::kFused && !kChecked) {
    // This reduction keeps a tiny x (and -0) as high = x, low = 0, which the sine
    // kernel returns unchanged.
    return result;
  } else {
    // A two-sum turns -0 into +0.
    return V::select(V::less(V::abs(x), V::set(kTinyPhase)), x, result);
  }
}

template <class V>
void phaseSineBatch(const float* phase, double* sine, int32_t count) {
  constexpr int L = V::kLanes;
  int32_t i = 0;
  for (; i + 2 * L <= count; i += 2 * L) {
    const typename V::F p = V::loadF(phase + i);
    V::store(sine + i, phaseSine<V, true>(V::lowHalf(p)));
    V::store(sine + i + L, phaseSine<V, true>(V::highHalf(p)));
  }
  if (i < count) {
    float rest[2 * L] = {};
    double out[2 * L];
    for (int32_t k = 0; k < count - i; ++k) rest[k] = phase[i + k];
    const typename V::F p = V::loadF(rest);
    V::store(out, phaseSine<V, true>(V::lowHalf(p)));
    V::store(out + L, phaseSine<V, true>(V::highHalf(p)));
    for (int32_t k = 0; k < count - i; ++k) sine[i + k] = out[k];
  }
}

// One group of up to 2 * kLanes voices in float lanes. The phase and amplitude
// steps are exactly the scalar loop's float operations.
template <class V>
struct VoiceGroup {
  typename V::F phase;
  typename V::F amplitude;
  typename V::F increment;
  typename V::F pull;  // 0.01f * target: the same float every frame

  [[gnu::always_inline]] void step() {
    const typename V::F twoPi = V::setF(6.283185f);
    phase = V::addF(phase, increment);
    phase = V::selectGreaterF(phase, twoPi, V::subF(phase, twoPi));
    amplitude = V::addF(V::mulF(V::setF(0.99f), amplitude), pull);
  }
};

// Adds the group into out. The sines of a tile of kLanes frames are turned from
// per-frame into per-voice vectors, so each voice is added over kLanes frames at
// once, still in voice order, each sum rounded to float.
template <class V, bool kChecked>
void mixVoiceGroup(float* out, int32_t frames, VoiceGroup<V>& group, int32_t voices) {
  using D = typename V::D;
  constexpr int L = V::kLanes;
  constexpr int kTiles = 8;
  D columns[2 * L][kTiles];

  auto computeTile = [&](int k) __attribute__((always_inline)) {
    // The steps first, then one sine after the other: fewer live registers.
    typename V::F phases[L], amplitudes[L];
    for (int t = 0; t < L; ++t) {
      phases[t] = group.phase;
      amplitudes[t] = group.amplitude;
      group.step();
    }
    D low[L], high[L];
    for (int t = 0; t < L; ++t) {
      low[t] = V::mul(V::lowHalf(amplitudes[t]), phaseSine<V, kChecked>(V::lowHalf(phases[t])));
    }
    for (int t = 0; t < L; ++t) {
      high[t] = V::mul(V::highHalf(amplitudes[t]), phaseSine<V, kChecked>(V::highHalf(phases[t])));
    }
    V::transpose(low);
    V::transpose(high);
    for (int v = 0; v < L; ++v) {
      columns[v][k] = low[v];
      columns[L + v][k] = high[v];
    }
  };

  // kCount tiles at out + j: the voices' chains of roundings on different tiles
  // are independent, so they overlap.
  auto mixChunk = [&]<int kCount>(int32_t j) {
    for (int k = 0; k < kCount; ++k) computeTile(k);
    D mix[kCount];
    for (int k = 0; k < kCount; ++k) mix[k] = V::loadSamples(out + j + k * L);
    for (int32_t v = 0; v < voices; ++v) {
      for (int k = 0; k < kCount; ++k) mix[k] = V::roundToFloat(V::add(mix[k], columns[v][k]));
    }
    for (int k = 0; k < kCount; ++k) V::storeSamples(out + j + k * L, mix[k]);
  };

  int32_t j = 0;
  for (; j + kTiles * L <= frames; j += kTiles * L) mixChunk.template operator()<kTiles>(j);
  if (j + 4 * L <= frames) {
    mixChunk.template operator()<4>(j);
    j += 4 * L;
  }
  if (j + 2 * L <= frames) {
    mixChunk.template operator()<2>(j);
    j += 2 * L;
  }
  if (j + L <= frames) {
    mixChunk.template operator()<1>(j);
    j += L;
  }
  for (; j < frames; ++j) {
    double contribution[2 * L];
    V::store(contribution,
             V::mul(V::lowHalf(group.amplitude), phaseSine<V, kChecked>(V::lowHalf(group.phase))));
    V::store(contribution + L, V::mul(V::highHalf(group.amplitude),
                                      phaseSine<V, kChecked>(V::highHalf(group.phase))));
    group.step();
    float sample = out[j];
    for (int32_t v = 0; v < voices; ++v) sample = static_cast<float>(sample + contribution[v]);
    out[j] = sample;
  }
}

// Whether every phase of the block stays within the short reduction: a phase
// moves by at most its increment per frame (the wrap only moves it back). The
// margin covers the float rounding of this estimate and of the steps.
template <class V>
bool staysShort(const VoiceGroup<V>& group, int32_t frames) {
  using F = typename V::F;
  const F reach =
      V::addF(V::absF(group.phase),
              V::mulF(V::setF(static_cast<float>(frames) * 1.001f), V::absF(group.increment)));
  return V::allLessEqualF(reach, V::setF(static_cast<float>(kShortReductionLimit) - 16.0f));
}

template <class V>
void renderVoiceGroup(float* out, int32_t frames, float* phases, float* amplitudes,
                      const float* increments, const float* targets, int32_t voices) {
  constexpr int G = 2 * V::kLanes;
  VoiceGroup<V> group;
  float lanePhase[G], laneAmplitude[G];
  if (voices == G) {
    group = {V::loadF(phases), V::loadF(amplitudes), V::loadF(increments),
             V::mulF(V::setF(0.01f), V::loadF(targets))};
  } else {
    // A partial group: the unused lanes run silent and are never mixed.
    float laneIncrement[G] = {}, laneTarget[G] = {};
    for (int v = 0; v < G; ++v) {
      lanePhase[v] = v < voices ? phases[v] : 0.0f;
      laneAmplitude[v] = v < voices ? amplitudes[v] : 0.0f;
    }
    for (int32_t v = 0; v < voices; ++v) {
      laneIncrement[v] = increments[v];
      laneTarget[v] = targets[v];
    }
    group = {V::loadF(lanePhase), V::loadF(laneAmplitude), V::loadF(laneIncrement),
             V::mulF(V::setF(0.01f), V::loadF(laneTarget))};
  }
  if (staysShort(group, frames)) {
    mixVoiceGroup<V, false>(out, frames, group, voices);
  } else {
    mixVoiceGroup<V, true>(out, frames, group, voices);
  }
  if (voices == G) {
    V::storeF(phases, group.phase);
    V::storeF(amplitudes, group.amplitude);
  } else {
    V::storeF(lanePhase, group.phase);
    V::storeF(laneAmplitude, group.amplitude);
    for (int32_t v = 0; v < voices; ++v) {
      phases[v] = lanePhase[v];
      amplitudes[v] = laneAmplitude[v];
    }
  }
}

template <class V>
void renderVoiceBank(float* out, int32_t frames, const VoiceBank& bank) {
  constexpr int32_t G = 2 * V::kLanes;
  for (int32_t first = 0; first < bank.count; first += G) {
    const int32_t voices = bank.count - first < G ? bank.count - first : G;
    renderVoiceGroup<V>(out, frames, bank.phase + first, bank.amplitude + first,
                        bank.increment + first, bank.target + first, voices);
  }
}

}  // namespace
