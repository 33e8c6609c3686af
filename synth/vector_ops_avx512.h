// AVX-512 lanes for the voice kernel: 8 doubles, 16 floats. Foundation
// instructions only, so every AVX-512 processor runs it.
#pragma once

// GCC 12's AVX-512 intrinsics start from deliberately undefined registers, which
// its own uninitialised-use warning then reports inside the header.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#include <cstdint>

namespace {

struct VectorOpsAvx512 {
  static constexpr bool kFused = true;
  static constexpr int kLanes = 8;
  using D = __m512d;
  using F = __m512;
  using Mask = __mmask8;

  static __m512i bits(D v) { return _mm512_castpd_si512(v); }
  static D fromBits(__m512i v) { return _mm512_castsi512_pd(v); }

  static D set(double v) { return _mm512_set1_pd(v); }
  static D load(const double* p) { return _mm512_loadu_pd(p); }
  static void store(double* p, D v) { _mm512_storeu_pd(p, v); }
  static D add(D a, D b) { return _mm512_add_pd(a, b); }
  static D sub(D a, D b) { return _mm512_sub_pd(a, b); }
  static D mul(D a, D b) { return _mm512_mul_pd(a, b); }
  static D mulAdd(D a, D b, D c) { return _mm512_fmadd_pd(a, b, c); }
  static D mulSubFrom(D a, D b, D c) { return _mm512_fnmadd_pd(a, b, c); }
  static D mulSub(D a, D b, D c) { return _mm512_fmsub_pd(a, b, c); }
  static D abs(D a) {
    return fromBits(_mm512_and_epi64(bits(a), _mm512_set1_epi64(0x7FFFFFFFFFFFFFFFLL)));
  }
  static Mask lessEqual(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
  static Mask less(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
  static bool all(Mask m) { return m == 0xFF; }
  static D select(Mask m, D ifSet, D ifClear) { return _mm512_mask_blend_pd(m, ifClear, ifSet); }
  static Mask odd(D biased) { return _mm512_test_epi64_mask(bits(biased), _mm512_set1_epi64(1)); }
  static D signOfBit1(D biased) {
    const __m512i shifted = _mm512_slli_epi64(bits(biased), 62);
    return fromBits(_mm512_and_epi64(shifted, _mm512_set1_epi64(INT64_MIN)));
  }
  static D flipSign(D a, D sign) { return fromBits(_mm512_xor_epi64(bits(a), bits(sign))); }

  static F loadF(const float* p) { return _mm512_loadu_ps(p); }
  static void storeF(float* p, F v) { _mm512_storeu_ps(p, v); }
  static F setF(float v) { return _mm512_set1_ps(v); }
  static F addF(F a, F b) { return _mm512_add_ps(a, b); }
  static F subF(F a, F b) { return _mm512_sub_ps(a, b); }
  static F mulF(F a, F b) { return _mm512_mul_ps(a, b); }
  static F selectGreaterF(F a, F limit, F ifGreater) {
    return _mm512_mask_blend_ps(_mm512_cmp_ps_mask(a, limit, _CMP_GT_OQ), a, ifGreater);
  }
  static F absF(F v) {
    return _mm512_castsi512_ps(
        _mm512_and_epi32(_mm512_castps_si512(v), _mm512_set1_epi32(0x7FFFFFFF)));
  }
  static bool allLessEqualF(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_LE_OQ) == 0xFFFF; }
  static D lowHalf(F v) { return _mm512_cvtps_pd(_mm512_castps512_ps256(v)); }
  static D highHalf(F v) {
    return _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(v), 1)));
  }

  static D loadSamples(const float* p) { return _mm512_cvtps_pd(_mm256_loadu_ps(p)); }
  static D roundToFloat(D v) { return _mm512_cvtps_pd(_mm512_cvtpd_ps(v)); }
  static void storeSamples(float* p, D v) { _mm256_storeu_ps(p, _mm512_cvtpd_ps(v)); }

  static void transpose(D* rows) {
    D t[8];
    for (int i = 0; i < 8; i += 2) {
      t[i] = _mm512_unpacklo_pd(rows[i], rows[i + 1]);
      t[i + 1] = _mm512_unpackhi_pd(rows[i], rows[i + 1]);
    }
    // t[2k] holds columns 0,2,4,6 of rows 2k and 2k+1; t[2k+1] columns 1,3,5,7.
    D u[8];
    for (int half = 0; half < 8; half += 4) {
      u[half + 0] = _mm512_shuffle_f64x2(t[half + 0], t[half + 2], 0x88);  // columns 0, 4
      u[half + 1] = _mm512_shuffle_f64x2(t[half + 0], t[half + 2], 0xDD);  // columns 2, 6
      u[half + 2] = _mm512_shuffle_f64x2(t[half + 1], t[half + 3], 0x88);  // columns 1, 5
      u[half + 3] = _mm512_shuffle_f64x2(t[half + 1], t[half + 3], 0xDD);  // columns 3, 7
    }
    rows[0] = _mm512_shuffle_f64x2(u[0], u[4], 0x88);
    rows[4] = _mm512_shuffle_f64x2(u[0], u[4], 0xDD);
    rows[2] = _mm512_shuffle_f64x2(u[1], u[5], 0x88);
    rows[6] = _mm512_shuffle_f64x2(u[1], u[5], 0xDD);
    rows[1] = _mm512_shuffle_f64x2(u[2], u[6], 0x88);
    rows[5] = _mm512_shuffle_f64x2(u[2], u[6], 0xDD);
    rows[3] = _mm512_shuffle_f64x2(u[3], u[7], 0x88);
    rows[7] = _mm512_shuffle_f64x2(u[3], u[7], 0xDD);
  }
};

}  // namespace
