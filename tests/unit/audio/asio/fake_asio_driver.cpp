#include "fake_asio_driver.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "audio/asio/asio_api.h"

namespace {

size_t bytesPerSample(ASIOSampleType type) {
  switch (type) {
    case ASIOSTInt16LSB:
    case ASIOSTInt16MSB:
      return 2;
    case ASIOSTInt24LSB:
    case ASIOSTInt24MSB:
      return 3;
    case ASIOSTFloat64LSB:
    case ASIOSTFloat64MSB:
      return 8;
    default:
      return 4;
  }
}

class FakeAsioDriver final : public IASIO {
 public:
  FakeAsioDriver(std::shared_ptr<FakeDriverScript> script, CLSID classId)
      : script_(std::move(script)), classId_(classId) {
    ++script_->live;
    ++script_->created;
    script_->instance = this;
  }
  ~FakeAsioDriver() { --script_->live; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (iid == classId_ || iid == IID_IUnknown) {
      AddRef();
      *object = static_cast<IASIO*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  ASIOBool init(void* sysHandle) override {
    hang("init");
    record("init");
    script_->sysRef = sysHandle;
    return script_->initResult ? ASIOTrue : ASIOFalse;
  }
  void getDriverName(char* name) override {
    record("getDriverName");
    std::snprintf(name, 32, "%s", script_->name.c_str());
  }
  int32_t getDriverVersion() override { return script_->version; }
  void getErrorMessage(char* text) override {
    std::snprintf(text, 124, "%s", script_->errorMessage.c_str());
  }
  ASIOError start() override {
    hang("start");
    return record("start", script_->startResult);
  }
  ASIOError stop() override {
    if (script_->stopWaitsFor != nullptr) {
      const DWORD wait = script_->callsBackWhileStopHangs ? 1 : INFINITE;
      for (int32_t half = 0; WaitForSingleObject(script_->stopWaitsFor, wait) != WAIT_OBJECT_0;
           half = 1 - half) {
        script_->callbacks.bufferSwitch(half, ASIOTrue);
        ++script_->switchesWhileStopHangs;
      }
    }
    return record("stop", script_->stopResult);
  }
  ASIOError getChannels(int32_t* in, int32_t* out) override {
    *in = script_->inputs;
    *out = script_->outputs;
    return record("getChannels", script_->getChannelsResult);
  }
  ASIOError getLatencies(int32_t* in, int32_t* out) override {
    *in = script_->inputLatency;
    *out = script_->outputLatency;
    return record("getLatencies", ASE_OK);
  }
  ASIOError getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferred,
                          int32_t* granularity) override {
    *minSize = script_->minSize;
    *maxSize = script_->maxSize;
    *preferred = script_->preferredSize;
    *granularity = script_->granularity;
    return record("getBufferSize", script_->getBufferSizeResult);
  }
  ASIOError canSampleRate(ASIOSampleRate rate) override {
    const auto& rates = script_->possibleRates;
    const bool possible = std::find(rates.begin(), rates.end(), rate) != rates.end();
    return record("canSampleRate", possible ? ASE_OK : ASE_NoClock);
  }
  ASIOError getSampleRate(ASIOSampleRate* rate) override {
    *rate = script_->rate;
    return record("getSampleRate", script_->getSampleRateResult);
  }
  ASIOError setSampleRate(ASIOSampleRate rate) override {
    if (script_->setSampleRateResult != ASE_OK)
      return record("setSampleRate", script_->setSampleRateResult);
    const auto& rates = script_->possibleRates;
    if (std::find(rates.begin(), rates.end(), rate) == rates.end()) {
      return record("setSampleRate", ASE_NoClock);
    }
    script_->rate = rate;
    return record("setSampleRate", ASE_OK);
  }
  ASIOError getClockSources(ASIOClockSource* clocks, int32_t* numSources) override {
    clocks[0] = ASIOClockSource{0, -1, 0, ASIOTrue, "Internal"};
    *numSources = 1;
    return record("getClockSources", ASE_OK);
  }
  ASIOError setClockSource(int32_t reference) override {
    return record("setClockSource", reference == 0 ? ASE_OK : ASE_InvalidParameter);
  }
  ASIOError getSamplePosition(ASIOSamples* position, ASIOTimeStamp* stamp) override {
    *position = ASIOSamples{0, 1234};
    *stamp = ASIOTimeStamp{0, 5678};
    return record("getSamplePosition", ASE_OK);
  }
  ASIOError getChannelInfo(ASIOChannelInfo* info) override {
    record("getChannelInfo");
    if (script_->channelInfoResult != ASE_OK) return script_->channelInfoResult;
    const bool isInput = info->isInput != ASIOFalse;
    const int32_t count = isInput ? script_->inputs : script_->outputs;
    if (info->channel < 0 || info->channel >= count) return ASE_InvalidParameter;
    const auto& active = isInput ? script_->activeInputs : script_->activeOutputs;
    const size_t index = static_cast<size_t>(info->channel);
    info->isActive = (index < active.size() && active[index]) ? ASIOTrue : ASIOFalse;
    info->channelGroup = 0;
    info->type = script_->typeOf(isInput, info->channel);
    std::snprintf(info->name, sizeof(info->name), "%s %d", isInput ? "In" : "Out",
                  info->channel + 1);
    return ASE_OK;
  }
  ASIOError createBuffers(ASIOBufferInfo* infos, int32_t numChannels, int32_t bufferSize,
                          ASIOCallbacks* callbacks) override {
    hang("createBuffers");
    record("createBuffers");
    if (script_->createBuffersResult != ASE_OK) return script_->createBuffersResult;
    script_->callbacks = *callbacks;
    script_->bufferSize = bufferSize;
    script_->storage.assign(static_cast<size_t>(numChannels) * 2, {});
    for (int32_t c = 0; c < numChannels; ++c) {
      const size_t bytes =
          bytesPerSample(script_->typeOf(infos[c].isInput != ASIOFalse, infos[c].channelNum)) *
          static_cast<size_t>(bufferSize);
      for (int half = 0; half < 2; ++half) {
        auto& block = script_->storage[static_cast<size_t>(c) * 2 + static_cast<size_t>(half)];
        // Non-zero filler shows which halves the host wrote.
        block.assign(bytes, 0xA5);
        infos[c].buffers[half] = block.data();
      }
    }
    script_->infos.assign(infos, infos + numChannels);
    return ASE_OK;
  }
  ASIOError disposeBuffers() override { return record("disposeBuffers", ASE_OK); }
  ASIOError controlPanel() override { return record("controlPanel", script_->controlPanelResult); }
  ASIOError future(int32_t, void*) override { return record("future", ASE_InvalidParameter); }
  ASIOError outputReady() override {
    ++script_->outputReadyCalls;
    if (script_->onOutputReady != nullptr) script_->onOutputReady(*script_);
    return script_->outputReadyResult;
  }

 private:
  void hang(const char* method) {
    if (script_->hangUntil != nullptr && script_->hangsIn == method) {
      WaitForSingleObject(script_->hangUntil, INFINITE);
    }
  }
  ASIOError record(const char* method, ASIOError result = ASE_OK) {
    script_->calls.emplace_back(method);
    ++script_->callCount;
    return result;
  }

  std::shared_ptr<FakeDriverScript> script_;
  CLSID classId_;
  ULONG references_ = 1;
};

}  // namespace

ASIOSampleType FakeDriverScript::typeOf(bool isInput, int32_t channel) const {
  const auto& types = isInput ? inputTypes : outputTypes;
  const size_t index = static_cast<size_t>(channel);
  return index < types.size() ? types[index] : ASIOSTInt32LSB;
}

bool FakeDriverScript::called(const std::string& method) const {
  return countOf(method) > 0;
}

int FakeDriverScript::countOf(const std::string& method) const {
  return static_cast<int>(std::count(calls.begin(), calls.end(), method));
}

void* FakeDriverScript::buffer(bool isInput, int32_t channel, int32_t half) {
  for (const ASIOBufferInfo& info : infos) {
    if ((info.isInput != ASIOFalse) == isInput && info.channelNum == channel) {
      return info.buffers[half];
    }
  }
  return nullptr;
}

std::string fakeClassIdText(int classNumber) {
  char text[64];
  std::snprintf(text, sizeof(text), "{%08X-1111-2222-3333-444444444444}", classNumber);
  return text;
}

FakeDriverInstall::FakeDriverInstall(const std::string& key, const std::string& description,
                                     int classNumber)
    : classIdText(fakeClassIdText(classNumber)), keyName(key) {
  sim::guidFromString(classIdText.c_str(), &classId);
  const std::string asioKey = "SOFTWARE\\ASIO\\" + keyName;
  sim::setRegistryString(HKEY_LOCAL_MACHINE, asioKey, "CLSID", classIdText);
  if (!description.empty()) {
    sim::setRegistryString(HKEY_LOCAL_MACHINE, asioKey, "Description", description);
  }
  const std::string path = "C:\\drivers\\fake" + std::to_string(classNumber) + ".dll";
  sim::setRegistryString(HKEY_CLASSES_ROOT, "CLSID\\" + classIdText + "\\InprocServer32", "", path);
  sim::setRegistryString(HKEY_CLASSES_ROOT, "CLSID\\" + classIdText + "\\InprocServer32",
                         "ThreadingModel", "Apartment");
  sim::declareFile(path);
  std::shared_ptr<FakeDriverScript> shared = script;
  const CLSID id = classId;
  sim::registerComClass(classId, [shared, id](REFIID iid, void** object) -> HRESULT {
    if (shared->createResult != S_OK) return shared->createResult;
    auto* driver = new FakeAsioDriver(shared, id);
    const HRESULT result = driver->QueryInterface(iid, object);
    driver->Release();
    return result;
  });
}

FakeDriverInstall::~FakeDriverInstall() {
  sim::unregisterComClass(classId);
}

void resetAsioWorld() {
  discardDriverRegistry();
  sim::resetRegistry();
  sim::resetCom();
}
