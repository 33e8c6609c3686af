// AVX2 lanes for the voice kernel: 4 doubles, 8 floats, FMA3 for the sine.
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace {

struct VectorOpsAvx2 {
  static constexpr bool kFused = true;
  static constexpr int kLanes = 4;
  using D = __m256d;
  using F = __m256;
  using Mask = __m256d;

  static D set(double v) { return _mm256_set1_pd(v); }
  static D load(const double* p) { return _mm256_loadu_pd(p); }
  static void store(double* p, D v) { _mm256_storeu_pd(p, v); }
  static D add(D a, D b) { return _mm256_add_pd(a, b); }
  static D sub(D a, D b) { return _mm256_sub_pd(a, b); }
  static D mul(D a, D b) { return _mm256_mul_pd(a, b); }
  static D mulAdd(D a, D b, D c) { return _mm256_fmadd_pd(a, b, c); }
  static D mulSubFrom(D a, D b, D c) { return _mm256_fnmadd_pd(a, b, c); }
  static D mulSub(D a, D b, D c) { return _mm256_fmsub_pd(a, b, c); }
  static D abs(D a) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a); }
  static Mask lessEqual(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
  static Mask less(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
  static bool all(Mask m) { return _mm256_movemask_pd(m) == 15; }
  static D select(Mask m, D ifSet, D ifClear) { return _mm256_blendv_pd(ifClear, ifSet, m); }
  static Mask odd(D biased) {
    const __m256i one = _mm256_set1_epi64x(1);
    return _mm256_castsi256_pd(
        _mm256_cmpeq_epi64(_mm256_and_si256(_mm256_castpd_si256(biased), one), one));
  }
  static D signOfBit1(D biased) {
    const __m256i shifted = _mm256_slli_epi64(_mm256_castpd_si256(biased), 62);
    return _mm256_and_pd(_mm256_castsi256_pd(shifted), _mm256_set1_pd(-0.0));
  }
  static D flipSign(D a, D sign) { return _mm256_xor_pd(a, sign); }

  static F loadF(const float* p) { return _mm256_loadu_ps(p); }
  static void storeF(float* p, F v) { _mm256_storeu_ps(p, v); }
  static F setF(float v) { return _mm256_set1_ps(v); }
  static F addF(F a, F b) { return _mm256_add_ps(a, b); }
  static F subF(F a, F b) { return _mm256_sub_ps(a, b); }
  static F mulF(F a, F b) { return _mm256_mul_ps(a, b); }
  static F selectGreaterF(F a, F limit, F ifGreater) {
    return _mm256_blendv_ps(a, ifGreater, _mm256_cmp_ps(a, limit, _CMP_GT_OQ));
  }
  static F absF(F v) { return _mm256_andnot_ps(_mm256_set1_ps(-0.0f), v); }
  static bool allLessEqualF(F a, F b) {
    return _mm256_movemask_ps(_mm256_cmp_ps(a, b, _CMP_LE_OQ)) == 255;
  }
  static D lowHalf(F v) { return _mm256_cvtps_pd(_mm256_castps256_ps128(v)); }
  static D highHalf(F v) { return _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1)); }

  static D loadSamples(const float* p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }
  static D roundToFloat(D v) { return _mm256_cvtps_pd(_mm256_cvtpd_ps(v)); }
  static void storeSamples(float* p, D v) { _mm_storeu_ps(p, _mm256_cvtpd_ps(v)); }

  static void transpose(D* rows) {
    const D t0 = _mm256_unpacklo_pd(rows[0], rows[1]);
    const D t1 = _mm256_unpackhi_pd(rows[0], rows[1]);
    const D t2 = _mm256_unpacklo_pd(rows[2], rows[3]);
    const D t3 = _mm256_unpackhi_pd(rows[2], rows[3]);
    rows[0] = _mm256_permute2f128_pd(t0, t2, 0x20);
    rows[1] = _mm256_permute2f128_pd(t1, t3, 0x20);
    rows[2] = _mm256_permute2f128_pd(t0, t2, 0x31);
    rows[3] = _mm256_permute2f128_pd(t1, t3, 0x31);
  }
};

}  // namespace
