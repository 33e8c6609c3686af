// The voice bank kernel for AVX2 with FMA3. Built with its own instruction-set
// flags; called only when the processor has them.
#include "synth/vector_ops_avx2.h"
#include "synth/voice_kernel.h"

void renderVoiceBankAvx2(float* out, int32_t frames, const VoiceBank& bank) {
  renderVoiceBank<VectorOpsAvx2>(out, frames, bank);
}

void phaseSineAvx2(const float* phase, double* sine, int32_t count) {
  phaseSineBatch<VectorOpsAvx2>(phase, sine, count);
}
