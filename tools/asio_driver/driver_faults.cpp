#include "tools/asio_driver/driver_faults.h"

#include <windows.h>

#include <atomic>
#include <cstring>

#include "tools/asio_driver/driver_log.h"

namespace {

std::atomic<StreamFault> fault{StreamFault::None};
std::atomic<bool> failingStop{false};
std::atomic<bool> hangingStop{false};
// The call named after "hang" in the command ("init", "buffers", "start"); empty: none.
std::atomic<int> hangingCall{0};
const char* const kHangableCalls[] = {"", "init", "buffers", "start"};
constexpr DWORD kStopHangPollMs = 20;

bool startsWith(const char* text, const char* word) {
  return std::strncmp(text, word, std::strlen(word)) == 0;
}

}  // namespace

StreamFault streamFault() {
  return fault.load();
}

bool stopFails() {
  return failingStop.load();
}

void waitWhileStopHangs(const std::string& controlFile) {
  if (!hangingStop.load()) return;
  driverLog("stop: hangs, the stream goes on");
  char command[64];
  while (hangingStop.load()) {
    Sleep(kStopHangPollMs);
    takeControlCommand(controlFile, true, command, sizeof(command));
  }
  driverLog("stop hang over");
}

void waitWhileCallHangs(const char* call, const std::string& controlFile) {
  if (std::strcmp(kHangableCalls[hangingCall.load()], call) != 0) return;
  driverLog("%s: hangs", call);
  char command[64];
  while (std::strcmp(kHangableCalls[hangingCall.load()], call) == 0) {
    Sleep(kStopHangPollMs);
    takeControlCommand(controlFile, true, command, sizeof(command));
  }
  driverLog("%s hang over", call);
}

bool applyFaultCommand(const char* command) {
  int hangable = 0;
  for (int i = 1; i < 4; ++i) {
    if (startsWith(command, "hang") && startsWith(command + 4, kHangableCalls[i])) hangable = i;
  }
  // "hangstop" and the other hangs before "hang", which they begin with.
  if (hangable != 0) {
    hangingCall = hangable;
  } else if (startsWith(command, "hangstop")) {
    hangingStop = true;
  } else if (startsWith(command, "stall")) {
    fault = StreamFault::Stall;
  } else if (startsWith(command, "hang")) {
    fault = StreamFault::Hang;
  } else if (startsWith(command, "vanish")) {
    fault = StreamFault::Vanish;
  } else if (startsWith(command, "failstop")) {
    failingStop = true;
  } else if (startsWith(command, "back")) {
    fault = StreamFault::None;
    failingStop = false;
    hangingStop = false;
    hangingCall = 0;
  } else {
    return false;
  }
  driverLog("fault: %s", command);
  return true;
}

bool takeControlCommand(const std::string& path, bool faultsOnly, char* command, size_t capacity) {
  if (path.empty() || capacity == 0) return false;
  if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD read = 0;
  ReadFile(file, command, static_cast<DWORD>(capacity - 1), &read, nullptr);
  CloseHandle(file);
  command[read] = 0;
  if (read == 0) return false;  // still being written
  if (faultsOnly && !applyFaultCommand(command)) return false;
  DeleteFileA(path.c_str());
  return true;
}
