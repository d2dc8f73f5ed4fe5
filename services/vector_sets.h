// The vector instruction sets the library's loops come in, and the run-time
// choice among them: the processor must have a set (CPUID) and the operating
// system must save its registers (XCR0). The processor is asked once; the
// renderer and the document writers choose once per file.
#pragma once

#include <cstdint>

namespace kelvra {

// The instruction sets of the vector path, narrowest first.
enum class VectorSet : int32_t { kSse2, kAvx2, kAvx512 };

// The widest set this processor and its operating system support, within
// the limit below.
VectorSet ChosenVectorSet();
// Caps the choice (tests compare the sets' output; the benchmark reports
// each). The cap stays until changed; it is kAvx512 at load.
void LimitVectorSet(VectorSet widest);
// The widest set that the processor's words allow: CPUID leaf 1 ECX, XCR0
// (0 where leaf 1 does not report OSXSAVE) and CPUID leaf 7 EBX (0 where the
// processor has no leaf 7). ChosenVectorSet feeds it this processor's words;
// tests feed it the mixes that virtual machines report.
VectorSet VectorSetFor(uint32_t leaf1Ecx, uint32_t xcr0, uint32_t leaf7Ebx);
// Whether the processor has AVX-512's byte permutes (VBMI). Meaningful only
// once AVX-512 is the chosen set, which has checked the register state.
bool ProcessorHasAvx512Vbmi();

}  // namespace kelvra
