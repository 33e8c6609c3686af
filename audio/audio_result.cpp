#include "audio/audio_result.h"

const char* audioResultText(int32_t code) {
  switch (code) {
    case AudioOk:
      return "success";
    case AudioFailed:
      return "failed, or not opened";
    case AudioBadDriverIndex:
      return "driver index out of range";
    case AudioNoOutputChannels:
      return "output channels unavailable";
    case AudioNoInputChannels:
      return "input channels unavailable";
    case AudioNoRack:
      return "no rack";
    case AudioStreamSetupFailed:
      return "stream or buffer set-up failed";
    case AudioNotificationFailed:
      return "notification set-up failed, or worker already running";
    case AudioWorkerTerminated:
      return "worker had to be terminated";
    case AudioTooManyBlocks:
      return "too many blocks";
    case AudioNoDriver:
      return "no driver, or driver not loadable";
    case AudioUnsupportedSampleType:
      return "unsupported sample type";
    case AudioStartStopFailed:
      return "start or stop failed";
    case AudioRateNotPossible:
      return "sample rate not possible";
    case AudioDriverNotAnswering:
      return "driver does not answer";
    case AudioWorkerLeftRunning:
      return "worker did not end and was left running";
    case AudioNoEndpoint:
      return "audio endpoint not available";
    case AudioDeviceInvalidated:
      return "audio device went away";
  }
  return "unknown result";
}
