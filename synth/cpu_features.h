// What the processor and the operating system together allow: an instruction set
// counts only if the OS also saves its registers across thread switches.
#pragma once

struct CpuFeatures {
  bool avx2Fma = false;  // AVX2 and FMA3 with YMM state enabled
  bool avx512 = false;   // AVX-512 Foundation with ZMM state enabled

  static CpuFeatures host();
};
