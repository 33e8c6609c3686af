// Conversions between a vertical trackbar's position and a synth parameter value.
// A vertical trackbar has its minimum at the top, so the value runs the other way:
// the top of the range means the largest value.
#pragma once

#include <cstdint>

// Value for a thumb at `pos` on a trackbar with range minimum..maximum:
// (|max| + |min| - pos) / the larger of |max| and |min|, computed in double and
// rounded once to float. Returns 0.0 when the range is empty (the scale is 0).
float sliderValue(int32_t rangeMin, int32_t rangeMax, int32_t pos);

// Position (not yet clamped to the range) that shows `value` on a trackbar with
// range minimum..maximum: value times the scale, rounded half away from zero,
// subtracted from |max| + |min|. Values that do not fit the trackbar (NaN, huge
// magnitudes) give a position past the matching end instead of an undefined
// integer conversion.
int32_t sliderPosition(int32_t rangeMin, int32_t rangeMax, float value);

// The clamping a trackbar applies to a position outside its range.
int32_t clampToRange(int32_t rangeMin, int32_t rangeMax, int32_t pos);
