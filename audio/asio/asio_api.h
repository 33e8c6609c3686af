// The ASIO API: one current driver for the process, chosen by name from the driver
// list, and functions forwarding to it that answer ASE_NotPresent without a driver.
#pragma once

#include <cstdint>

#include "audio/asio/asio.h"
#include "common/relaxed.h"

class AsioDriverRegistry;

// The selected driver: a second pointer to the instance held by the current entry of
// `driverRegistry`, not a reference of its own. Driver threads read it too.
extern Relaxed<IASIO*> currentDriver;
// Created by the first selection and kept for the life of the process.
extern AsioDriverRegistry* driverRegistry;

// True when the named driver has been instantiated as the current driver.
bool selectDriverByName(const char* name);

// True when entry `id` of the process-wide list has been instantiated as the current
// driver. `fresh` is a list just read from the registry, whose entry `id` is the one
// meant: when the process-wide list no longer agrees with it there (drivers were
// installed or removed since), that list is read again first.
bool selectDriverByIndex(int32_t id, const AsioDriverRegistry& fresh);

// Releases the current driver and forgets the process-wide list, so that the next
// selection reads the registry again (used where the installed drivers change).
void discardDriverRegistry();

ASIOError ASIOInit(ASIODriverInfo* info);
ASIOError ASIOExit();
ASIOError ASIOStart();
ASIOError ASIOStop();
ASIOError ASIOGetChannels(int32_t* numInputChannels, int32_t* numOutputChannels);
ASIOError ASIOGetLatencies(int32_t* inputLatency, int32_t* outputLatency);
ASIOError ASIOGetBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                            int32_t* granularity);
ASIOError ASIOCanSampleRate(ASIOSampleRate sampleRate);
ASIOError ASIOGetSampleRate(ASIOSampleRate* sampleRate);
ASIOError ASIOSetSampleRate(ASIOSampleRate sampleRate);
ASIOError ASIOGetClockSources(ASIOClockSource* clocks, int32_t* numSources);
ASIOError ASIOSetClockSource(int32_t reference);
ASIOError ASIOGetSamplePosition(ASIOSamples* samplePosition, ASIOTimeStamp* timeStamp);
ASIOError ASIOGetChannelInfo(ASIOChannelInfo* info);
ASIOError ASIOCreateBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t bufferSize,
                            ASIOCallbacks* callbacks);
ASIOError ASIODisposeBuffers();
ASIOError ASIOControlPanel();
ASIOError ASIOFuture(int32_t selector, void* params);
ASIOError ASIOOutputReady();
