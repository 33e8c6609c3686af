// The vector sine against a long-double reference, over the phases a render can
// reach: the normal cycle, past the single wrap, far negative (a negative pitch
// factor), huge (an absurd one), and the floats nearest to multiples of pi/2,
// where the reduction cancels most digits.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "render_path_params.h"
#include "synth/phase_reduction.h"
#include "synth/voice_bank.h"

namespace {

// Distance of value from the exact sine in units of the double's last place.
double ulpError(double value, float phase) {
  const long double exact = sinl(static_cast<long double>(phase));
  int exponent = 0;
  std::frexp(static_cast<double>(exact), &exponent);
  const long double ulp = std::ldexp(1.0L, exponent - 53);
  return static_cast<double>(fabsl(static_cast<long double>(value) - exact) / ulp);
}

struct Worst {
  double error = 0.0;
  float phase = 0.0f;
};

Worst worstError(RenderPath path, const std::vector<float>& phases) {
  std::vector<double> sine(phases.size());
  phaseSineKernel(path)(phases.data(), sine.data(), static_cast<int32_t>(phases.size()));
  Worst worst;
  for (size_t i = 0; i < phases.size(); ++i) {
    const double error = ulpError(sine[i], phases[i]);
    if (!(error <= worst.error)) worst = {error, phases[i]};
  }
  return worst;
}

std::vector<float> uniformPhases(uint32_t seed, float low, float high, int count) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> phase(low, high);
  std::vector<float> phases(static_cast<size_t>(count));
  for (float& p : phases) p = phase(random);
  return phases;
}

// Every finite float magnitude: random bit patterns, either sign.
std::vector<float> anyFinitePhases(uint32_t seed, int count) {
  std::mt19937 random(seed);
  std::vector<float> phases;
  while (static_cast<int>(phases.size()) < count) {
    const uint32_t bits = random();
    float p;
    std::memcpy(&p, &bits, sizeof(p));
    if (std::isfinite(p)) phases.push_back(p);
  }
  return phases;
}

// The floats on either side of k * pi/2 for k up to 2^22: the largest cancellation
// in the short reduction and beyond it.
std::vector<float> nearQuadrantPhases() {
  std::vector<float> phases;
  for (int64_t k = 1; k < (int64_t{1} << 22); k = k * 5 / 4 + 1) {
    for (int64_t kk = k; kk < k + 64; ++kk) {
      const float nearest =
          static_cast<float>(static_cast<long double>(kk) * 1.57079632679489661923132169L);
      phases.push_back(nearest);
      phases.push_back(std::nextafter(nearest, 0.0f));
      phases.push_back(std::nextafter(nearest, 1e30f));
      phases.push_back(-nearest);
    }
  }
  // The float nearest to a multiple of pi/2 below 2^19, 4.2e-9 away (found by
  // searching every float): the short reduction's hardest case.
  phases.push_back(252.898209f);
  phases.push_back(-252.898209f);
  return phases;
}

class PhaseSineTest : public VectorPathTest {
 protected:
  void expectWithinOneUlp(const std::vector<float>& phases) {
    const Worst worst = worstError(GetParam(), phases);
    EXPECT_LE(worst.error, 1.0) << "phase " << worst.phase;
  }
};

TEST_P(PhaseSineTest, WithinOneUlpOverTheCycleAndPastTheWrap) {
  expectWithinOneUlp(uniformPhases(11, 0.0f, 6.2831855f, 200000));
  // A large increment leaves the phase beyond 2 pi after the single wrap.
  expectWithinOneUlp(uniformPhases(12, 6.283185f, 20.0f, 100000));
  expectWithinOneUlp(uniformPhases(13, -1e-3f, 1e-3f, 20000));
}

TEST_P(PhaseSineTest, WithinOneUlpForNegativeAndHugePhases) {
  expectWithinOneUlp(uniformPhases(21, -600000.0f, 0.0f, 100000));  // both sides of the limit
  expectWithinOneUlp(uniformPhases(22, 1e30f, 3e38f, 20000));
  expectWithinOneUlp(uniformPhases(24, 1.0e12f, 1.2e12f, 20000));  // across 2^40
  expectWithinOneUlp(anyFinitePhases(23, 200000));
}

TEST_P(PhaseSineTest, WithinOneUlpNextToMultiplesOfHalfPi) {
  expectWithinOneUlp(nearQuadrantPhases());
}

TEST_P(PhaseSineTest, SpecialValuesFollowTheLibrary) {
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<float> phases = {
      0.0f, -0.0f, 1e-45f, -1e-30f, inf, -inf, std::numeric_limits<float>::quiet_NaN(), 1.0f, 2.0f};
  std::vector<double> sine(phases.size());
  phaseSineKernel(GetParam())(phases.data(), sine.data(), static_cast<int32_t>(phases.size()));
  for (size_t i = 0; i < phases.size(); ++i) {
    const double expected = std::sin(static_cast<double>(phases[i]));
    if (std::isnan(expected)) {
      EXPECT_TRUE(std::isnan(sine[i])) << "phase " << phases[i];
    } else if (expected == 0.0 || std::fabs(phases[i]) < 1e-20f) {
      // Zeros keep their sign and tiny phases are their own sine.
      EXPECT_EQ(std::memcmp(&expected, &sine[i], sizeof(double)), 0) << "phase " << phases[i];
    }
  }
}

INSTANTIATE_VECTOR_PATHS(PhaseSineTest);

// The exact reduction on its own, including phases the vector kernels reduce
// themselves, against long double.
TEST(PhaseReductionTest, RemainderAndQuadrantReconstructThePhase) {
  std::mt19937 random(31);
  std::uniform_real_distribution<float> phase(-1000.0f, 1000.0f);
  for (int i = 0; i < 20000; ++i) {
    const float p = i == 0 ? 1e30f : phase(random);
    int quadrant = -1;
    double high = 0.0, low = 0.0;
    reducePhase(p, &quadrant, &high, &low);
    ASSERT_GE(quadrant, 0);
    ASSERT_LE(quadrant, 3);
    ASSERT_LE(std::fabs(high), 0.7854) << "phase " << p;
    ASSERT_LE(std::fabs(low), std::ldexp(std::fabs(high), -52)) << "phase " << p;
    const long double r = static_cast<long double>(high) + low;
    const long double s = quadrant == 0   ? sinl(r)
                          : quadrant == 1 ? cosl(r)
                          : quadrant == 2 ? -sinl(r)
                                          : -cosl(r);
    EXPECT_NEAR(static_cast<double>(s), static_cast<double>(sinl(p)), 1e-15) << "phase " << p;
  }
}

}  // namespace
