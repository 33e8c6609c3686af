// The voice bank kernel for SSE2, the x86-64 baseline. Built with its own instruction-set
// flags; called only when the processor has them.
#include "synth/vector_ops_sse2.h"
#include "synth/voice_kernel.h"

void renderVoiceBankSse2(float* out, int32_t frames, const VoiceBank& bank) {
  renderVoiceBank<VectorOpsSse2>(out, frames, bank);
}

void phaseSineSse2(const float* phase, double* sine, int32_t count) {
  phaseSineBatch<VectorOpsSse2>(phase, sine, count);
}
