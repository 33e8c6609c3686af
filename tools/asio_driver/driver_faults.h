// Faults the virtual driver can be told to show, as a driver whose device or server
// has gone would: "stall" (no more callbacks, calls still answer), "hang" (no more
// callbacks, and stop, disposeBuffers and release block until told "back"),
// "vanish" (no callbacks, every call fails with ASE_NotPresent, init included),
// "failstop" (stop answers ASE_HWMalfunction and the stream goes on), "hangstop" (stop
// blocks until told "back" while the stream goes on: the driver keeps calling back),
// "hanginit", "hangbuffers" and "hangstart" (init, createBuffers or start blocks until
// told "back") and "back" (all of these end). The state is process-wide, so that driver objects a
// host creates anew while the fault lasts show it too.
#pragma once

#include <string>

enum class StreamFault { None, Stall, Hang, Vanish };

StreamFault streamFault();
bool stopFails();
// Inside stop: while "hangstop" holds, waits (taking fault commands from the control
// file at `controlFile`) and logs it; returns at once otherwise.
void waitWhileStopHangs(const std::string& controlFile);

// Inside init ("init"), createBuffers ("buffers") or start ("start"): while the
// matching hang holds, waits (taking fault commands from the control file) and logs it.
void waitWhileCallHangs(const char* call, const std::string& controlFile);

// Applies one of the commands above; false when `command` is none of them.
bool applyFaultCommand(const char* command);

// Reads the control file: its command is put into `command` (at most `capacity`
// bytes with the terminator) and the file deleted. With `faultsOnly`, a command
// that is not a fault command is left in the file for the driver's thread, and a
// fault command is applied. False when there is no file or nothing was taken.
bool takeControlCommand(const std::string& path, bool faultsOnly, char* command, size_t capacity);
