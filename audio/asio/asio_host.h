// The ASIO host: connects the synth rack to one ASIO driver. One process-wide state
// (the driver's callbacks carry no context), reached through plain functions.
//
// States: 0 closed, 1 driver initialised, 2 buffers created, 3 running, 4 the driver
// asked for a reset (stopped, buffers held; the owner closes and opens again).
#pragma once

#include <cstdint>
#include <string>

#include "audio/asio/asio.h"

class SynthRack;

class AsioHost {
 public:
  AsioHost() = delete;

  static int32_t open(SynthRack* rack, HWND window, int outputsWanted, int inputsWanted,
                      int sampleRateWanted, int bufferSizeWanted, int driverIndex, bool strictIndex,
                      bool probeOnly);
  // As open, with the channel counts as upper bounds: the driver's first outputs up
  // to outputsWanted (at least one) and its first inputs up to inputsWanted (none is
  // fine), so a driver with fewer channels than the window would like still plays.
  static int32_t openUpTo(SynthRack* rack, HWND window, int outputsWanted, int inputsWanted,
                          int sampleRateWanted, int bufferSizeWanted, int driverIndex,
                          bool strictIndex, bool probeOnly);
  static int32_t close();
  static int32_t start(bool muteOutputs);
  static int32_t stop();

  static int32_t state();
  static bool driverName(std::string& out);
  static bool channelName(int index, bool isInput, std::string& out);
  static int32_t sampleRate();
  static int32_t bufferSize();
  static int32_t inputLatency();
  static int32_t outputLatency();
  static int32_t dropoutCount();
  static double peakLoad();
  static double averageLoad();
  static int32_t controlPanel();

  // The callbacks handed to the driver.
  static void bufferSwitch(int32_t index, ASIOBool directProcess);
  static void sampleRateDidChange(ASIOSampleRate rate);
  static int32_t asioMessage(int32_t selector, int32_t value, void* message, double* opt);
  static ASIOTime* bufferSwitchTimeInfo(ASIOTime* params, int32_t index, ASIOBool directProcess);
};
