// The instruction-set extensions the primitives can use, detected once at run time.
//
// Every vector path asks CpuFeatures() before it runs, so a mask set by tests and benchmarks
// forces any narrower path (down to the portable code) on a processor that has more.
#pragma once

#include <cstdint>

namespace tw {

enum CpuFeature : uint32_t {
  kCpuSsse3 = 1u << 0,
  kCpuSse41 = 1u << 1,
  kCpuAesNi = 1u << 2,
  kCpuClmul = 1u << 3,
  kCpuAvx2 = 1u << 4,
  kCpuAvx512 = 1u << 5,  // F, VL and BW together, with the operating system saving the registers
  kCpuVaes = 1u << 6,     // 256-bit AES rounds (needs AVX2)
  kCpuVpclmul = 1u << 7,  // 256-bit carry-less multiply (needs AVX2)
  kCpuBmi2 = 1u << 8,     // BMI1 and BMI2 together: ANDN, MULX and the flagless rotates and shifts
  kCpuAdx = 1u << 9,      // ADCX and ADOX: two independent carry chains
  kCpuAvx512Ifma = 1u << 10,  // 52-bit integer multiply-add (needs AVX-512)
  kCpuAll = 0x7FFu,
};

// What this processor has (0 off x86-64).
uint32_t CpuFeaturesDetected();
// What the primitives may use: the detected set under the mask.
uint32_t CpuFeatures();
inline bool CpuHas(uint32_t features) { return (CpuFeatures() & features) == features; }
// Tests and benchmarks: limit the primitives to these features (kCpuAll restores them all).
void SetCpuFeatureMask(uint32_t mask);

}  // namespace tw
