#include "synth/cpu_features.h"

#include <cpuid.h>

#include <atomic>
#include <cstdint>

namespace {

uint64_t readXcr0() {
  uint32_t low = 0;
  uint32_t high = 0;
  __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return (static_cast<uint64_t>(high) << 32) | low;
}

CpuFeatures detect() {
  CpuFeatures features;
  unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return features;
  const bool osxsave = (ecx & (1u << 27)) != 0;
  const bool avx = (ecx & (1u << 28)) != 0;
  const bool fma = (ecx & (1u << 12)) != 0;
  if (!osxsave || !avx) return features;

  const uint64_t xcr0 = readXcr0();
  const bool ymmState = (xcr0 & 0x6) == 0x6;    // SSE and AVX registers
  const bool zmmState = (xcr0 & 0xE6) == 0xE6;  // plus opmask and the upper ZMM halves
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return features;
  const bool avx2 = (ebx & (1u << 5)) != 0;
  const bool avx512f = (ebx & (1u << 16)) != 0;

  features.avx2Fma = ymmState && avx2 && fma;
  features.avx512 = features.avx2Fma && zmmState && avx512f;
  return features;
}

}  // namespace

CpuFeatures CpuFeatures::host() {
  // Cached without a lock (a function-local static may take one, and the first
  // caller can be the audio thread): racing first callers store the same bits.
  static std::atomic<int> cached{-1};
  int bits = cached.load(std::memory_order_relaxed);
  if (bits < 0) {
    const CpuFeatures detected = detect();
    bits = (detected.avx2Fma ? 1 : 0) | (detected.avx512 ? 2 : 0);
    cached.store(bits, std::memory_order_relaxed);
  }
  CpuFeatures features;
  features.avx2Fma = (bits & 1) != 0;
  features.avx512 = (bits & 2) != 0;
  return features;
}
