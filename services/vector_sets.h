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
// Whether the processor has AVX-512's byte permutes (VBMI). Meaningful only
// once AVX-512 is the chosen set, which has checked the register state.
bool ProcessorHasAvx512Vbmi();

}  // namespace kelvra
