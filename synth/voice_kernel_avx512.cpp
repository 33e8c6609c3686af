// The voice bank kernel for AVX-512 Foundation. Built with its own instruction-set
// flags; called only when the processor has them.
#include "synth/vector_ops_avx512.h"
#include "synth/voice_kernel.h"

void renderVoiceBankAvx512(float* out, int32_t frames, const VoiceBank& bank) {
  renderVoiceBank<VectorOpsAvx512>(out, frames, bank);
}

void phaseSineAvx512(const float* phase, double* sine, int32_t count) {
  phaseSineBatch<VectorOpsAvx512>(phase, sine, count);
}
