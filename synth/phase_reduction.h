// Reduction of a sine argument by multiples of pi/2 for phases too large for the
// vector kernels' short reduction: exact for every float, however large.
#pragma once

// The largest phase magnitude the vector kernels reduce themselves.
constexpr double kShortReductionLimit = 524288.0;  // 2^19

// phase = quadrant * pi/2 + (high + low), |high + low| <= pi/4, quadrant 0..3,
// to about 100 bits for every |phase| >= 1 (below that the remainder is the phase
// itself and needs no reduction). A phase that is not finite gives quadrant 0 and
// a NaN remainder.
void reducePhase(float phase, int* quadrant, double* high, double* low);

// Replaces the reduction of every lane whose phase lies beyond limit (or is not
// finite). quadrant holds integral doubles.
void reduceWideLanes(const double* phase, double* quadrant, double* high, double* low, int lanes,
                     double limit);
