#include "audio/asio/asio_api.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "audio/asio/asio_driver_registry.h"

Relaxed<IASIO*> currentDriver;
AsioDriverRegistry* driverRegistry = nullptr;

namespace {

void copyText(char* destination, size_t capacity, const char* text) {
  const size_t length = std::min(std::strlen(text), capacity - 1);
  std::memcpy(destination, text, length);
  destination[length] = 0;
}

// Whether entry `id` names the same driver in both lists.
bool sameEntry(const AsioDriverRegistry& a, const AsioDriverRegistry& b, int32_t id) {
  CLSID classA{}, classB{};
  char pathA[sizeof(AsioDriverEntry::serverPath)], pathB[sizeof(AsioDriverEntry::serverPath)];
  char nameA[sizeof(AsioDriverEntry::displayName)], nameB[sizeof(AsioDriverEntry::displayName)];
  return a.entryClassId(id, &classA) == ASE_OK && b.entryClassId(id, &classB) == ASE_OK &&
         std::memcmp(&classA, &classB, sizeof(CLSID)) == 0 &&
         a.entryPath(id, pathA, sizeof(pathA)) == ASE_OK &&
         b.entryPath(id, pathB, sizeof(pathB)) == ASE_OK && std::strcmp(pathA, pathB) == 0 &&
         a.entryName(id, nameA, sizeof(nameA)) == ASE_OK &&
         b.entryName(id, nameB, sizeof(nameB)) == ASE_OK && std::strcmp(nameA, nameB) == 0;
}

}  // namespace

bool selectDriverByIndex(int32_t id, const AsioDriverRegistry& fresh) {
  if (driverRegistry != nullptr && !sameEntry(*driverRegistry, fresh, id)) {
    discardDriverRegistry();
  }
  if (driverRegistry == nullptr) driverRegistry = new (std::nothrow) AsioDriverRegistry;
  return driverRegistry != nullptr && driverRegistry->selectById(id);
}

bool selectDriverByName(const char* name) {
  if (driverRegistry == nullptr) driverRegistry = new (std::nothrow) AsioDriverRegistry;
  return driverRegistry != nullptr && driverRegistry->selectByName(name);
}

void discardDriverRegistry() {
  currentDriver.set(nullptr);
  delete driverRegistry;
  driverRegistry = nullptr;
}

ASIOError ASIOInit(ASIODriverInfo* info) {
  info->driverVersion = 0;
  copyText(info->name, sizeof(info->name), "No ASIO Driver");
  IASIO* driver = currentDriver.get();
  if (driver == nullptr) return ASE_NotPresent;
  if (driver->init(info->sysRef) == ASIOFalse) {
    // The driver writes at most the standard's 124 bytes; the terminator is ours.
    driver->getErrorMessage(info->errorMessage);
    info->errorMessage[sizeof(info->errorMessage) - 1] = 0;
    currentDriver.set(nullptr);
    return ASE_NotPresent;
  }
  copyText(info->errorMessage, sizeof(info->errorMessage), "No ASIO Driver Error");
  driver->getDriverName(info->name);
  info->name[sizeof(info->name) - 1] = 0;
  info->driverVersion = driver->getDriverVersion();
  return ASE_OK;
}

ASIOError ASIOExit() {
  if (currentDriver.get() != nullptr && driverRegistry != nullptr) driverRegistry->releaseCurrent();
  currentDriver.set(nullptr);
  return ASE_OK;
}

ASIOError ASIOStart() {
  IASIO* driver = currentDriver.get();
  return driver != nullptr ? driver->start() : ASE_NotPresent;
}

ASIOError ASIOStop() {
  IASIO* driver = currentDriver.get();
  return driver != nullptr ? driver->stop() : ASE_NotPresent;
}

ASIOError ASIOGetChannels(int32_t* numInputChannels, int32_t* numOutputChannels) {
  IASIO* driver = currentDriver.get();
  if (driver != nullptr) return driver->getChannels(numInputChannels, numOutputChannels);
  *numInputChannels = 0;
  *numOutputChannels = 0;
  return ASE_NotPresent;
}

ASIOError ASIOGetLatencies(int32_t* inputLatency, int32_t* outputLatency) {
  IASIO* driver = currentDriver.get();
  if (driver != nullptr) return driver->getLatencies(inputLatency, outputLatency);
  *inputLatency = 0;
  *outputLatency = 0;
  return ASE_NotPresent;
}

ASIOError ASIOGetBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                            int32_t* granularity) {
  IASIO* driver = currentDriver.get();
  if (driver != nullptr) return driver->getBufferSize(minSize, maxSize, preferredSize, granularity);
  *minSize = 0;
  *maxSize = 0;
  *preferredSize = 0;
  *granularity = 0;
  return ASE_NotPresent;
}

ASIOError ASIOCanSampleRate(ASIOSampleRate sampleRate) {
  IASIO* driver = currentDriver.get();
  return driver != nullptr ? driver->canSampleRate(sampleRate) : ASE_NotPresent;
}

ASIOError ASIOGetSampleRate(ASIOSampleRate* sampleRate) {
  IASIO* driver = currentDriver.get();
  return driver != nullptr ? driver->getSampleRate(sampleRate) : ASE_NotPresent;
}

ASIOError ASIOSetSampleRate(ASIOSampleRate sampleRate) {
  IASIO* driver = currentDriver.get();
  return driver != nullptr ? driver->setSampleRate(sampleRate) : ASE_NotPresent;
}

ASIOError ASIOGetClockSources(ASIOClockSource* clocks, int32_t* numSources) {
  IASIO* driver = currentDriver.get();
  if (driver != nullptr) return driver->getClockSources(clocks, numSources);
  *numSources = 0;
  return ASE_NotPresent;
}

ASIOError ASIOSetClockSource(int32_t reference) {
  IASIO* driver = currentDriver.get();
  return driver != nullptr ? driver->setClockSource(reference) : ASE_NotPresent;
}

ASIOError ASIOGetSamplePosition(ASIOSamples* samplePosition, ASIOTimeStamp* timeStamp) {
  IASIO* driver = currentDriver.get();
  return driver != nullptr ? driver->getSamplePosition(samplePosition, timeStamp) : ASE_NotPresent;
}

ASIOError ASIOGetChannelInfo(ASIOChannelInfo* info) {
  IASIO* driver = currentDriver.get();
  if (driver != nullptr) return driver->getChannelInfo(info);
  info->channelGroup = -1;
  info->type = 0;
  copyText(info->name, sizeof(info->name), "None");
  return ASE_NotPresent;
}

ASIOError ASIOCreateBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t bufferSize,
                            ASIOCallbacks* callbacks) {
  IASIO* driver = currentDriver.get();
  if (driver != nullptr) {
    return driver->createBuffers(bufferInfos, numChannels, bufferSize, callbacks);
  }
  for (int32_t i = 0; i < numChannels; ++i) {
    bufferInfos[i].buffers[0] = nullptr;
    bufferInfos[i].buffers[1] = nullptr;
  }
  return ASE_NotPresent;
}

ASIOError ASIODisposeBuffers() {
  IASIO* driver = currentDriver.get();
  return driver != nullptr ? driver->disposeBuffers() : ASE_NotPresent;
}

ASIOError ASIOControlPanel() {
  IASIO* driver = currentDriver.get();
  return driver != nullptr ? driver->controlPanel() : ASE_NotPresent;
}

ASIOError ASIOFuture(int32_t selector, void* params) {
  IASIO* driver = currentDriver.get();
  return driver != nullptr ? driver->future(selector, params) : ASE_NotPresent;
}

ASIOError ASIOOutputReady() {
  IASIO* driver = currentDriver.get();
  return driver != nullptr ? driver->outputReady() : ASE_NotPresent;
}
