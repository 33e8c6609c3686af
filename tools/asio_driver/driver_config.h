// Settings of the virtual driver, read from the environment when an instance is made.
#pragma once

#include <cstdint>
#include <string>

#include "audio/asio/asio.h"

struct DriverConfig {
  ASIOSampleType sampleType = ASIOSTInt32LSB;
  double sampleRate = 48000.0;
  int32_t preferredSize = 256;
  std::string outputWav;           // empty: outputs are not recorded
  std::string logPath;             // empty: calls are logged to the debugger only
  std::string controlFile;         // empty: no control file is polled
  std::string switchLog;           // empty: buffer switches are not stamped
  int32_t resetAfterMs = -1;       // one reset request this long after the first start
  int32_t sizeChangeAfterMs = -1;  // one buffer-size change this long after the first start
  int32_t changedSize = 0;         // the size announced by a change; 0: twice the current

  static constexpr int32_t kMinSize = 64;
  static constexpr int32_t kMaxSize = 2048;
  static constexpr int32_t kChannels = 2;

  static DriverConfig fromEnvironment();
  static bool isRateSupported(double rate);
};
