// SSE2 lanes for the voice kernel: 2 doubles, 4 floats. No fused multiply-add.
#pragma once

#include <emmintrin.h>

#include <cstdint>

namespace {

struct VectorOpsSse2 {
  static constexpr bool kFused = false;
  static constexpr int kLanes = 2;
  using D = __m128d;
  using F = __m128;
  using Mask = __m128d;

  static D set(double v) { return _mm_set1_pd(v); }
  static D load(const double* p) { return _mm_loadu_pd(p); }
  static void store(double* p, D v) { _mm_storeu_pd(p, v); }
  static D add(D a, D b) { return _mm_add_pd(a, b); }
  static D sub(D a, D b) { return _mm_sub_pd(a, b); }
  static D mul(D a, D b) { return _mm_mul_pd(a, b); }
  // a * b + c and c - a * b, rounded twice here.
  static D mulAdd(D a, D b, D c) { return _mm_add_pd(_mm_mul_pd(a, b), c); }
  static D mulSubFrom(D a, D b, D c) { return _mm_sub_pd(c, _mm_mul_pd(a, b)); }
  static D mulSub(D a, D b, D c) { return _mm_sub_pd(_mm_mul_pd(a, b), c); }
  static D abs(D a) { return _mm_andnot_pd(_mm_set1_pd(-0.0), a); }
  static Mask lessEqual(D a, D b) { return _mm_cmple_pd(a, b); }
  static Mask less(D a, D b) { return _mm_cmplt_pd(a, b); }
  static bool all(Mask m) { return _mm_movemask_pd(m) == 3; }
  static D select(Mask m, D ifSet, D ifClear) {
    return _mm_or_pd(_mm_and_pd(m, ifSet), _mm_andnot_pd(m, ifClear));
  }
  // Lanes holding magic + n: is n odd; n's bit 1 moved to the sign.
  static Mask odd(D biased) {
    const __m128i one = _mm_set1_epi32(1);
    const __m128i low = _mm_cmpeq_epi32(_mm_and_si128(_mm_castpd_si128(biased), one), one);
    return _mm_castsi128_pd(_mm_shuffle_epi32(low, _MM_SHUFFLE(2, 2, 0, 0)));
  }
  static D signOfBit1(D biased) {
    const __m128i shifted = _mm_slli_epi64(_mm_castpd_si128(biased), 62);
    return _mm_and_pd(_mm_castsi128_pd(shifted), _mm_set1_pd(-0.0));
  }
  static D flipSign(D a, D sign) { return _mm_xor_pd(a, sign); }

  static F loadF(const float* p) { return _mm_loadu_ps(p); }
  static void storeF(float* p, F v) { _mm_storeu_ps(p, v); }
  static F setF(float v) { return _mm_set1_ps(v); }
  static F addF(F a, F b) { return _mm_add_ps(a, b); }
  static F subF(F a, F b) { return _mm_sub_ps(a, b); }
  static F mulF(F a, F b) { return _mm_mul_ps(a, b); }
  static F selectGreaterF(F a, F limit, F ifGreater) {
    const __m128 m = _mm_cmpgt_ps(a, limit);
    return _mm_or_ps(_mm_and_ps(m, ifGreater), _mm_andnot_ps(m, a));
  }
  static F absF(F v) { return _mm_andnot_ps(_mm_set1_ps(-0.0f), v); }
  static bool allLessEqualF(F a, F b) { return _mm_movemask_ps(_mm_cmple_ps(a, b)) == 15; }
  static D lowHalf(F v) { return _mm_cvtps_pd(v); }
  static D highHalf(F v) { return _mm_cvtps_pd(_mm_movehl_ps(v, v)); }

  // kLanes consecutive samples of the output, widened, and back.
  static D loadSamples(const float* p) {
    return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
  }
  static D roundToFloat(D v) { return _mm_cvtps_pd(_mm_cvtpd_ps(v)); }
  static void storeSamples(float* p, D v) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_castps_si128(_mm_cvtpd_ps(v)));
  }

  // rows[frame] holds one value per voice; afterwards rows[voice] one per frame.
  static void transpose(D* rows) {
    const D a = _mm_unpacklo_pd(rows[0], rows[1]);
    const D b = _mm_unpackhi_pd(rows[0], rows[1]);
    rows[0] = a;
    rows[1] = b;
  }
};

}  // namespace
