#include "crypto/symmetric/cpu_features.h"

#include <atomic>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#define TW_CPU_X86 1
#endif

namespace tw {

namespace {

std::atomic<uint32_t> g_mask{kCpuAll};

#ifdef TW_CPU_X86

// XCR0: which register states the operating system saves on a context switch.
uint64_t ReadXcr0() {
  uint32_t lo = 0, hi = 0;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (uint64_t{hi} << 32) | lo;
}

uint32_t Detect() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return 0;
  uint32_t f = 0;
  if (c & bit_SSSE3) f |= kCpuSsse3;
  if (c & bit_SSE4_1) f |= kCpuSse41;
  if (c & bit_AES) f |= kCpuAesNi;
  if (c & bit_PCLMUL) f |= kCpuClmul;
  const bool osxsave = (c & bit_OSXSAVE) != 0;
  const uint64_t xcr0 = osxsave ? ReadXcr0() : 0;
  const bool ymm = (xcr0 & 0x6) == 0x6;
  const bool zmm = ymm && (xcr0 & 0xE0) == 0xE0;
  if (!ymm || !(c & bit_AVX) || !__get_cpuid_count(7, 0, &a, &b, &c, &d)) return f;
  if (b & bit_AVX2) f |= kCpuAvx2;
  if ((b & bit_BMI) && (b & bit_BMI2)) f |= kCpuBmi2;
  if (b & bit_ADX) f |= kCpuAdx;
  if (zmm && (b & bit_AVX512F) && (b & bit_AVX512VL) && (b & bit_AVX512BW)) f |= kCpuAvx512;
  if ((f & kCpuAvx512) && (b & bit_AVX512IFMA)) f |= kCpuAvx512Ifma;
  if ((f & kCpuAvx2) && (c & bit_VAES)) f |= kCpuVaes;
  if ((f & kCpuAvx2) && (c & bit_VPCLMULQDQ)) f |= kCpuVpclmul;
  return f;
}

#else

uint32_t Detect() { return 0; }

#endif

}  // namespace

uint32_t CpuFeaturesDetected() {
  static const uint32_t detected = Detect();
  return detected;
}

uint32_t CpuFeatures() { return CpuFeaturesDetected() & g_mask.load(std::memory_order_relaxed); }

void SetCpuFeatureMask(uint32_t mask) { g_mask.store(mask, std::memory_order_relaxed); }

}  // namespace tw
