#include "tools/asio_driver/driver_config.h"

#include <cstdlib>
#include <cstring>

#include "tools/asio_driver/sample_codec.h"

namespace {

std::string text(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

bool number(const char* name, long* out) {
  const std::string value = text(name);
  if (value.empty()) return false;
  char* end = nullptr;
  const long parsed = std::strtol(value.c_str(), &end, 10);
  if (end == value.c_str() || *end != 0) return false;
  *out = parsed;
  return true;
}

}  // namespace

bool DriverConfig::isRateSupported(double rate) {
  return rate == 44100.0 || rate == 48000.0 || rate == 96000.0;
}

DriverConfig DriverConfig::fromEnvironment() {
  DriverConfig config;
  long value = 0;
  const std::string type = text("TONBRIK_VASIO_SAMPLE_TYPE");
  if (!type.empty()) {
    ASIOSampleType parsed = 0;
    if (sampleTypeFromText(type.c_str(), &parsed)) config.sampleType = parsed;
  }
  if (number("TONBRIK_VASIO_RATE", &value) && isRateSupported(static_cast<double>(value))) {
    config.sampleRate = static_cast<double>(value);
  }
  if (number("TONBRIK_VASIO_PREFERRED_SIZE", &value) && value >= kMinSize && value <= kMaxSize) {
    config.preferredSize = static_cast<int32_t>(value);
  }
  config.outputWav = text("TONBRIK_VASIO_OUTPUT_WAV");
  config.logPath = text("TONBRIK_VASIO_LOG");
  config.controlFile = text("TONBRIK_VASIO_CONTROL_FILE");
  config.switchLog = text("TONBRIK_VASIO_SWITCH_LOG");
  if (number("TONBRIK_VASIO_RESET_AFTER_MS", &value) && value >= 0) {
    config.resetAfterMs = static_cast<int32_t>(value);
  }
  if (number("TONBRIK_VASIO_SIZE_CHANGE_AFTER_MS", &value) && value >= 0) {
    config.sizeChangeAfterMs = static_cast<int32_t>(value);
  }
  if (number("TONBRIK_VASIO_CHANGED_SIZE", &value) && value >= kMinSize && value <= kMaxSize) {
    config.changedSize = static_cast<int32_t>(value);
  }
  return config;
}
