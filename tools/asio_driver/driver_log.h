// The virtual driver's log: one line per call worth knowing about, appended to the
// file named by TONBRIK_VASIO_LOG (and sent to the debugger). Never used per block.
#pragma once

#include <string>

void setDriverLogPath(const std::string& path);
void driverLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
