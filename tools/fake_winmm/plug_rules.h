// When the virtual devices are pulled out and plugged in again while the program runs.
//
//   FAKE_WINMM_PLUG           comma-separated "<in|out><n>:<file>": device n (counted as
//                             configured, from 0) is pulled out while <file> (relative to
//                             the folder) exists, and plugged in again when it is removed
//   FAKE_WINMM_PLUG_SCHEDULE  semicolon-separated "<in|out><n>:<from>-<to>": device n is
//                             pulled out from <from> ms after the DLL loaded until <to> ms
//   FAKE_WINMM_PLUG_ANNOUNCE  1: each change is broadcast as WM_DEVICECHANGE
//                             (DBT_DEVNODES_CHANGED), as the system does
//
// e.g. FAKE_WINMM_PLUG=in0:unplug_in0 or FAKE_WINMM_PLUG_SCHEDULE=in0:3000-5000;out1:6000-7000
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fake_winmm {

struct PlugRule {
  bool output = false;
  int device = 0;
  std::string file;  // empty for a timed rule
  uint32_t fromMs = 0;
  uint32_t toMs = 0;
};

// Both settings in one list; false with the reason in `error` on a malformed item.
bool parsePlugRules(const std::string& files, const std::string& schedule,
                    std::vector<PlugRule>& rules, std::string& error);

// Whether a timed rule pulls its device out at `nowMs`.
inline bool pulledAt(const PlugRule& rule, uint32_t nowMs) {
  return rule.file.empty() && nowMs >= rule.fromMs && nowMs < rule.toMs;
}

}  // namespace fake_winmm
