// The result codes the audio engines share: 0 for success, a small negative number
// for each kind of failure. The values are fixed: the window and stored logs rely on
// them, so a new meaning gets a new number.
#pragma once

#include <cstdint>

enum AudioResult : int32_t {
  AudioOk = 0,
  AudioFailed = -1,                  // general failure, or the engine is not opened
  AudioBadDriverIndex = -2,          // the driver index is out of range
  AudioNoOutputChannels = -3,        // the output channels are not available
  AudioNoInputChannels = -4,         // the input channels are not available
  AudioNoRack = -5,                  // no rack was given
  AudioStreamSetupFailed = -6,       // a stream or buffer could not be set up
  AudioNotificationFailed = -8,      // notifications could not be set up, or a worker runs
  AudioWorkerTerminated = -9,        // no longer given: a worker is never terminated
  AudioTooManyBlocks = -10,          // more blocks than the worker can wait on
  AudioNoDriver = -11,               // no driver, or the driver cannot be loaded
  AudioUnsupportedSampleType = -12,  // the driver's sample type is not handled
  AudioStartStopFailed = -13,        // the device refused to start or stop
  AudioRateNotPossible = -14,        // the sample rate cannot be set
  AudioWorkerLeftRunning = -15,      // the worker did not end within 2 s: it is left running,
                                     // the route is taken as lost
  AudioDriverNotAnswering = -16,  // a driver call did not return within 1 s: it is not asked again
  AudioNoEndpoint = -17,          // the audio endpoint does not exist or cannot be opened
  AudioDeviceInvalidated = -18,   // the device went away (unplugged, disabled or reconfigured)
};

// A short English text for a code ("unknown result" for a value not listed).
const char* audioResultText(int32_t code);
