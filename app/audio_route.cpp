#include "app/audio_route.h"

#include <algorithm>
#include <utility>

#include "app/engines.h"
#include "app/health_line.h"
#include "app/wide_text.h"
#include "audio/wasapi/wasapi_duplex.h"

namespace {

constexpr int kChannels = 2;
constexpr int kSampleRate = 48000;
constexpr int kDuplexBlockFrames = 128;
constexpr int kDuplexBlockCountSetting = DsoundDuplex::kRingOf15Ms;
// After a lost ring that no worker could have kept (README: the full-duplex route's ring
// and timing).
constexpr int kGrownDuplexBlockCountSetting = DsoundDuplex::kRingOf20Ms;
constexpr int kAsioOutputs = 2;
constexpr int kAsioInputs = 2;
constexpr int kAsioPreferredBufferSize = 0;
// The rack renders at most two channels whatever the endpoint has.
constexpr int32_t kRackChannels = 2;

WasapiEndpointNames endpointNames(EDataFlow flow) {
  WasapiEndpointNames names;
  std::vector<WasapiEndpoint> endpoints;
  listWasapiEndpoints(flow, endpoints);
  for (WasapiEndpoint& endpoint : endpoints) {
    names.ids.push_back(std::move(endpoint.id));
    names.names.push_back(std::move(endpoint.name));
  }
  names.defaultId = defaultWasapiEndpointId(flow);
  return names;
}

template <typename Engine>
bool freeEnded(std::vector<std::unique_ptr<Engine>>& stranded) {
  std::erase_if(stranded, [](const std::unique_ptr<Engine>& engine) {
    engine->release();
    return !engine->workerLeftRunning();
  });
  return stranded.empty();
}

template <typename Engine>
void closeEngine(std::unique_ptr<Engine>& engine, std::vector<std::unique_ptr<Engine>>& stranded) {
  if (!engine) return;
  engine->release();
  // A worker that did not end may still come back and reach its engine and the rack.
  if (engine->workerLeftRunning()) stranded.push_back(std::move(engine));
  engine.reset();
}

// A system route's figures: its worker's time per block against the block's length.
template <class Engine>
void fillStreamHealth(const Engine& engine, int32_t blockFrames, EngineHealth& health) {
  const int64_t frequency = performanceFrequency();
  health.running = true;
  health.averageLoad =
      blockLoad(engine.averageTicks(), frequency, engine.sampleRate(), blockFrames);
  health.peakLoad = blockLoad(engine.peakTicks(), frequency, engine.sampleRate(), blockFrames);
  health.dropouts = engine.dropouts();
}

}  // namespace

AudioRouteHost::AudioRouteHost() {
  // Only a successful CoInitialize (S_FALSE included) is to be balanced.
  comInitialized_ = SUCCEEDED(CoInitialize(nullptr));
}

AudioRouteHost::~AudioRouteHost() {
  // The window has closed the route and dealt with stranded engines; the ASIO host may
  // be one left to the end of the process, and is not called again.
  closeEngine(dsound_, strandedDsound_);
  closeEngine(wasapi_, strandedWasapi_);
  abandonStranded();
  watch_.close();
  if (comInitialized_) CoUninitialize();
}

void AudioRouteHost::attach(SynthRack* rack, AsioHost* asio, HWND window) {
  rack_ = rack;
  asio_ = asio;
  window_ = window;
}

bool AudioRouteHost::open(const AudioRouteSetup& setup, std::wstring& inName,
                          std::wstring& outName) {
  close();
  setup_ = setup;
  // The watch runs while WASAPI is chosen, through the route's losses too.
  if (setup_.kind != AudioRouteKind::kWasapi) watch_.close();
  switch (setup_.kind) {
    case AudioRouteKind::kDirectSound:
      return openDsound(inName, outName);
    case AudioRouteKind::kWasapi:
      return openWasapi(inName, outName);
    case AudioRouteKind::kAsio:
      return openAsio(inName, outName);
  }
  return false;
}

bool AudioRouteHost::openDsound(std::wstring& inName, std::wstring& outName) {
  // Not beside a worker that never ended: the sound service may still be stuck with it.
  if (!freeStranded()) {
    DsoundDuplex().deviceNamesW(inName, outName);
    return false;
  }
  dsound_ = std::make_unique<DsoundDuplex>();
  dsound_->open(rack_, window_, kChannels, kSampleRate, kDuplexBlockFrames,
                setup_.duplexRingGrown ? kGrownDuplexBlockCountSetting : kDuplexBlockCountSetting);
  dsound_->deviceNamesW(inName, outName);
  return dsound_->start(DuplexOutput::Play) == AudioOk;
}

bool AudioRouteHost::openWasapi(std::wstring& inName, std::wstring& outName) {
  if (!watch_.isOpen()) watch_.open();
  render_ = planWasapiSide(endpointNames(eRender), setup_.renderEndpoint);
  capture_ = planWasapiSide(endpointNames(eCapture), setup_.captureEndpoint);
  WasapiOpened opened{.exclusiveAsked = setup_.exclusive};
  const auto showNames = [&] {
    inName = wasapiInLine(capture_, setup_.captureEndpoint, opened);
    outName = wasapiOutLine(render_, setup_.renderEndpoint, opened);
  };
  // A route lost on its chosen output stays lost until that output is back, as a lost
  // MIDI device does: a stand-in would only be swapped out again when it returns.
  const bool waitForChosen = setup_.retry && playedChosenOutput_ && render_.missing;
  if (waitForChosen || !freeStranded()) {
    showNames();
    return false;
  }
  wasapi_ = std::make_unique<WasapiDuplex>();
  WasapiOpenOptions options;
  options.mode = setup_.exclusive ? WasapiMode::Exclusive : WasapiMode::Shared;
  options.renderId = render_.openId;
  options.captureId = capture_.openId;
  const bool isOpen = wasapi_->open(rack_, options) == AudioOk;
  if (isOpen) {
    opened.sharedFallback = wasapi_->sharedFallback();
    opened.outputOnly = wasapi_->outputOnly();
    if (!setup_.retry) playedChosenOutput_ = !render_.missing;
  }
  showNames();
  return isOpen && wasapi_->start(DuplexOutput::Play) == AudioOk;
}

bool AudioRouteHost::openAsio(std::wstring& inName, std::wstring& outName) {
  asio_->openUpTo(rack_, window_,
                  {.outputs = kAsioOutputs,
                   .inputs = kAsioInputs,
                   .sampleRate = kSampleRate,
                   .bufferSize = kAsioPreferredBufferSize,
                   .driverIndex = setup_.asioDriverIndex});
  std::string driver;
  asio_->driverName(driver);
  inName = outName = wideFromCodePage(driver);
  return asio_->start(false) == AudioOk;
}

void AudioRouteHost::close() {
  // The old route is closed before a new one opens: only one may drive the rack.
  if (asio_) asio_->close();
  closeEngine(dsound_, strandedDsound_);
  closeEngine(wasapi_, strandedWasapi_);
}

void AudioRouteHost::stop() {
  if (dsound_) dsound_->stop();
  if (wasapi_) wasapi_->stop();
}

bool AudioRouteHost::lost() const {
  switch (setup_.kind) {
    case AudioRouteKind::kDirectSound:
      return dsound_ && dsound_->lost();
    case AudioRouteKind::kWasapi:
      return wasapi_ && wasapi_->lost();
    case AudioRouteKind::kAsio:
      return asio_ && asio_->lost();
  }
  return false;
}

bool AudioRouteHost::ringOutrun() const {
  return setup_.kind == AudioRouteKind::kDirectSound && dsound_ && dsound_->ringOutrun();
}

bool AudioRouteHost::captureStuck() const {
  return setup_.kind == AudioRouteKind::kDirectSound && dsound_ && dsound_->captureStuck();
}

bool AudioRouteHost::freeStranded() {
  const bool dsoundFree = freeEnded(strandedDsound_);
  return freeEnded(strandedWasapi_) && dsoundFree;
}

void AudioRouteHost::abandonStranded() {
  for (std::unique_ptr<DsoundDuplex>& engine : strandedDsound_) static_cast<void>(engine.release());
  for (std::unique_ptr<WasapiDuplex>& engine : strandedWasapi_) static_cast<void>(engine.release());
  strandedDsound_.clear();
  strandedWasapi_.clear();
}

void AudioRouteHost::fillHealth(EngineHealth& health) const {
  if (setup_.kind == AudioRouteKind::kDirectSound && dsound_) {
    fillStreamHealth(*dsound_, dsound_->blockFrames(), health);
    if (setup_.duplexRingGrown && dsound_->sampleRate() > 0) {
      health.grownRingMs =
          1000.0 * dsound_->blockCount() * dsound_->blockFrames() / dsound_->sampleRate();
    }
  } else if (setup_.kind == AudioRouteKind::kWasapi && wasapi_ && wasapi_->isOpened()) {
    fillStreamHealth(*wasapi_, wasapi_->periodFrames(), health);
  } else if (setup_.kind == AudioRouteKind::kAsio && asio_ &&
             asio_->state() == AsioHostState::Running) {
    health.running = true;
    health.averageLoad = asio_->averageLoad();
    health.peakLoad = asio_->peakLoad();
    health.dropouts = asio_->dropoutCount();
  }
}

bool AudioRouteHost::renderFormat(int32_t& rate, int32_t& channels) const {
  if (setup_.kind == AudioRouteKind::kDirectSound && dsound_) {
    rate = dsound_->sampleRate();
    channels = dsound_->channels();
    return true;
  }
  if (setup_.kind == AudioRouteKind::kWasapi && wasapi_ && wasapi_->isOpened()) {
    rate = wasapi_->sampleRate();
    channels = std::min(wasapi_->renderChannels(), kRackChannels);
    return true;
  }
  if (setup_.kind == AudioRouteKind::kAsio && asio_ && asio_->outputChannels() > 0) {
    rate = asio_->sampleRate();
    channels = asio_->outputChannels();
    return true;
  }
  return false;
}

bool AudioRouteHost::takeEndpointNews() {
  if (!watch_.isOpen()) return false;
  // Both taken: one run of changes is acted on once.
  const bool defaultChanged = watch_.takeDefaultChanged();
  const bool devicesChanged = watch_.takeDevicesChanged();
  return setup_.kind == AudioRouteKind::kWasapi && (defaultChanged || devicesChanged);
}

bool AudioRouteHost::endpointsMoved() const {
  if (setup_.kind != AudioRouteKind::kWasapi) return false;
  return wasapiSideMoved(render_, planWasapiSide(endpointNames(eRender), setup_.renderEndpoint)) ||
         wasapiSideMoved(capture_, planWasapiSide(endpointNames(eCapture), setup_.captureEndpoint));
}

bool AudioRouteHost::outputEndpointPresent() const {
  const WasapiSidePlan now = planWasapiSide(endpointNames(eRender), setup_.renderEndpoint);
  return !now.missing && !now.playingId.empty();
}
