#include "tone_analysis.h"

#include <algorithm>
#include <cmath>
#include <complex>

namespace audio_analysis {
namespace {

using Complex = std::complex<double>;
constexpr double kPi = 3.14159265358979323846;
constexpr double kMainLobeBins = 4.0;  // half width of the Blackman-Harris main lobe

std::vector<double> blackmanHarris(size_t n) {
  std::vector<double> w(n, 1.0);
  if (n < 2) return w;
  for (size_t i = 0; i < n; ++i) {
    double x = 2 * kPi * double(i) / double(n - 1);
    w[i] = 0.35875 - 0.48829 * std::cos(x) + 0.14128 * std::cos(2 * x) - 0.01168 * std::cos(3 * x);
  }
  return w;
}

void fft(std::vector<Complex>& a) {
  const size_t n = a.size();
  for (size_t i = 1, j = 0; i < n; ++i) {
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  for (size_t len = 2; len <= n; len <<= 1) {
    Complex step = std::polar(1.0, -2 * kPi / double(len));
    for (size_t i = 0; i < n; i += len) {
      Complex w = 1.0;
      for (size_t k = 0; k < len / 2; ++k) {
        Complex u = a[i + k], v = a[i + k + len / 2] * w;
        a[i + k] = u + v;
        a[i + k + len / 2] = u - v;
        w *= step;
      }
    }
  }
}

double correlate(const float* samples, const std::vector<double>& window, double sampleRate,
                 double frequency) {
  const double omega = 2 * kPi * frequency / sampleRate;
  Complex sum = 0;
  double sumWindow = 0;
  const size_t n = window.size();
  for (size_t start = 0; start < n; start += 1024) {
    // The phasor is re-seeded exactly every 1024 samples so rounding cannot accumulate.
    Complex phasor = std::polar(1.0, -omega * double(start));
    Complex step = std::polar(1.0, -omega);
    size_t end = std::min(n, start + 1024);
    for (size_t i = start; i < end; ++i) {
      sum += samples[i] * window[i] * phasor;
      sumWindow += window[i];
      phasor *= step;
    }
  }
  return sumWindow > 0 ? 2 * std::abs(sum) / sumWindow : 0;
}

double refine(const float* samples, const std::vector<double>& window, double sampleRate,
              double low, double high) {
  const double ratio = (std::sqrt(5.0) - 1) / 2;
  double a = low, b = high;
  double c = b - ratio * (b - a), d = a + ratio * (b - a);
  double fc = correlate(samples, window, sampleRate, c);
  double fd = correlate(samples, window, sampleRate, d);
  for (int i = 0; i < 40 && b - a > 1e-4; ++i) {
    if (fc > fd) {
      b = d, d = c, fd = fc;
      c = b - ratio * (b - a);
      fc = correlate(samples, window, sampleRate, c);
    } else {
      a = c, c = d, fc = fd;
      d = a + ratio * (b - a);
      fd = correlate(samples, window, sampleRate, d);
    }
  }
  return (a + b) / 2;
}

}  // namespace

Levels measureLevels(const float* samples, size_t count) {
  Levels levels;
  double sumSquares = 0;
  for (size_t i = 0; i < count; ++i) {
    double x = samples[i];
    levels.peak = std::max(levels.peak, std::fabs(x));
    sumSquares += x * x;
  }
  levels.rms = count ? std::sqrt(sumSquares / double(count)) : 0;
  return levels;
}

double amplitudeAt(const float* samples, size_t count, double sampleRate, double frequency) {
  return correlate(samples, blackmanHarris(count), sampleRate, frequency);
}

int countGlitches(const float* samples, size_t count, double sampleRate, double frequency) {
  if (count < 3 || sampleRate <= 0) return 0;
  const double threshold = 0.1 * measureLevels(samples, count).peak;
  const double twoCos = 2 * std::cos(2 * kPi * frequency / sampleRate);
  const size_t gap = static_cast<size_t>(sampleRate / 1000);
  int glitches = 0;
  size_t last = 0;
  bool any = false;
  for (size_t i = 1; i + 1 < count; ++i) {
    double residual = double(samples[i + 1]) + double(samples[i - 1]) - twoCos * samples[i];
    if (threshold <= 0 || std::fabs(residual) <= threshold) continue;
    if (!any || i - last > gap) ++glitches;
    any = true;
    last = i;
  }
  return glitches;
}

Discontinuities classifyGlitches(const float* samples, size_t count, double sampleRate,
                                 double frequency) {
  Discontinuities result;
  if (count < 3 || sampleRate <= 0) return result;
  // Samples inside or at the edge of a silent gap take no part in the break count.
  const size_t minGap = std::max<size_t>(2, static_cast<size_t>(sampleRate / 1000));
  std::vector<bool> nearGap(count, false);
  for (size_t i = 0; i < count;) {
    if (samples[i] != 0.0f) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < count && samples[end] == 0.0f) ++end;
    if (end - i >= minGap) {
      // A gap cut by the end of the stretch counts where it ends.
      if (end < count) ++result.gaps;
      for (size_t k = (i > 2 ? i - 2 : 0); k < std::min(count, end + 2); ++k) nearGap[k] = true;
    }
    i = end;
  }
  const double threshold = 0.1 * measureLevels(samples, count).peak;
  const double twoCos = 2 * std::cos(2 * kPi * frequency / sampleRate);
  const size_t gap = static_cast<size_t>(sampleRate / 1000);
  size_t last = 0;
  bool any = false;
  for (size_t i = 1; i + 1 < count; ++i) {
    if (nearGap[i - 1] || nearGap[i] || nearGap[i + 1]) continue;
    double residual = double(samples[i + 1]) + double(samples[i - 1]) - twoCos * samples[i];
    if (threshold <= 0 || std::fabs(residual) <= threshold) continue;
    if (!any || i - last > gap) ++result.breaks;
    any = true;
    last = i;
  }
  return result;
}

std::vector<Tone> dominantTones(const float* samples, size_t count, double sampleRate,
                                const ToneSearch& search) {
  std::vector<Tone> tones;
  if (count < 16 || sampleRate <= 0) return tones;
  std::vector<double> window = blackmanHarris(count);
  double sumWindow = 0;
  for (double w : window) sumWindow += w;
  size_t size = 1;
  while (size < 4 * count && size < (size_t(1) << 21)) size <<= 1;
  std::vector<Complex> spectrum(size);
  for (size_t i = 0; i < count && i < size; ++i) spectrum[i] = samples[i] * window[i];
  fft(spectrum);
  const double binHz = sampleRate / double(size);
  std::vector<double> magnitude(size / 2 + 1);
  for (size_t k = 0; k <= size / 2; ++k) magnitude[k] = 2 * std::abs(spectrum[k]) / sumWindow;

  std::vector<Tone> candidates;
  for (size_t k = 1; k < size / 2; ++k) {
    if (magnitude[k] > magnitude[k - 1] && magnitude[k] >= magnitude[k + 1] &&
        magnitude[k] >= search.minAmplitude && k * binHz >= search.minFrequency) {
      candidates.push_back({k * binHz, magnitude[k]});
    }
  }
  std::sort(candidates.begin(), candidates.end(),
            [](const Tone& a, const Tone& b) { return a.amplitude > b.amplitude; });
  const double lobeHz = kMainLobeBins * sampleRate / double(count);
  for (const Tone& candidate : candidates) {
    if (int(tones.size()) >= search.maxTones) break;
    if (!tones.empty() && candidate.amplitude < search.relativeFloor * tones[0].amplitude) break;
    bool inLobe = false;
    for (const Tone& kept : tones)
      inLobe |= std::fabs(kept.frequency - candidate.frequency) < lobeHz;
    if (inLobe) continue;
    double f = refine(samples, window, sampleRate, candidate.frequency - binHz,
                      candidate.frequency + binHz);
    tones.push_back({f, correlate(samples, window, sampleRate, f)});
  }
  return tones;
}

}  // namespace audio_analysis
