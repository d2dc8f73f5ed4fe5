// Which vector instruction set the library's loops may use: the processor
// must have it (CPUID) and the operating system must save its registers
// (XCR0).
#include <cpuid.h>

#include <atomic>

#include "services/vector_sets.h"

namespace kelvra {

namespace {

// Set only by tests and the benchmark; the library itself never changes it.
constinit VectorSet gWidestAllowed = VectorSet::kAvx512;

uint32_t EnabledRegisterState() {
  uint32_t low, high;
  __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return low;
}

// The processor's answers, asked once: in a virtual machine each CPUID
// leaves the guest and costs microseconds, and the answers cannot change
// while the library is loaded. The set in the low byte, VBMI in bit 8; -1
// until asked.
constinit std::atomic<int32_t> gDetected{-1};

int32_t Detect() {
  unsigned a, b, c, d;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0) return static_cast<int32_t>(VectorSet::kSse2);
  const uint32_t leaf1Ecx = c;
  // XGETBV faults unless the system has enabled it (OSXSAVE).
  const uint32_t state = (leaf1Ecx & (1u << 27)) != 0 ? EnabledRegisterState() : 0;
  uint32_t leaf7Ebx = 0, leaf7Ecx = 0;
  if (__get_cpuid_max(0, nullptr) >= 7) {
    __cpuid_count(7, 0, a, b, c, d);
    leaf7Ebx = b;
    leaf7Ecx = c;
  }
  const bool vbmi = (leaf7Ecx & (1u << 1)) != 0;
  return static_cast<int32_t>(VectorSetFor(leaf1Ecx, state, leaf7Ebx)) | (vbmi ? 1 << 8 : 0);
}

int32_t Detected() {
  int32_t found = gDetected.load(std::memory_order_relaxed);
  if (found < 0) {
    found = Detect();
    gDetected.store(found, std::memory_order_relaxed);
  }
  return found;
}

}  // namespace

VectorSet VectorSetFor(uint32_t leaf1Ecx, uint32_t xcr0, uint32_t leaf7Ebx) {
  const bool osSavesState = (leaf1Ecx & (1u << 27)) != 0;  // OSXSAVE: XCR0 is meaningful
  const bool avx = (leaf1Ecx & (1u << 28)) != 0;
  const bool fma = (leaf1Ecx & (1u << 12)) != 0;  // the AVX2 kernel's estimate fuses
  if (!osSavesState || !avx) return VectorSet::kSse2;
  if ((xcr0 & 0x6) != 0x6) return VectorSet::kSse2;  // XMM and YMM halves
  const bool avx2 = (leaf7Ebx & (1u << 5)) != 0;
  const bool avx512 = (leaf7Ebx & (1u << 16)) != 0 && (leaf7Ebx & (1u << 30)) != 0;  // F, BW
  // Opmask, upper ZMM halves and ZMM16-31 state as well. The AVX-512 files
  // are compiled with AVX2 and FMA implied, and AVX-512 callers use the AVX2
  // forms for their tails, so AVX-512 needs both reported too (a virtual
  // machine may hide one).
  if (avx512 && avx2 && fma && (xcr0 & 0xE6) == 0xE6) return VectorSet::kAvx512;
  return avx2 && fma ? VectorSet::kAvx2 : VectorSet::kSse2;
}

VectorSet ChosenVectorSet() {
  const VectorSet found = static_cast<VectorSet>(Detected() & 0xFF);
  return static_cast<int32_t>(found) < static_cast<int32_t>(gWidestAllowed) ? found
                                                                             : gWidestAllowed;
}

void LimitVectorSet(VectorSet widest) { gWidestAllowed = widest; }

bool ProcessorHasAvx512Vbmi() { return (Detected() & (1 << 8)) != 0; }

}  // namespace kelvra
