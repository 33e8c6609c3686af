// The audio route the window plays on: the DirectSound full-duplex stream, WASAPI
// (shared or exclusive) or an ASIO driver. The one place that knows the three: it
// opens and starts the chosen one, closes it, tells its loss, names, health figures
// and recording format, keeps the engines whose worker did not end, and watches the
// WASAPI endpoints while that route is chosen. The window's handlers call it and do
// not branch on the kind. Engines stay plain classes; the kind is switched on here.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/wasapi_route_plan.h"
#include "audio/wasapi/wasapi_endpoints.h"

class AsioHost;
class DsoundDuplex;
class SynthRack;
class WasapiDuplex;
struct EngineHealth;

enum class AudioRouteKind { kDirectSound, kWasapi, kAsio };

struct AudioRouteSetup {
  AudioRouteKind kind = AudioRouteKind::kDirectSound;
  // WASAPI: exclusive mode asked for, and the chosen endpoints in stored form ("" for
  // the default device).
  bool exclusive = false;
  std::wstring renderEndpoint;
  std::wstring captureEndpoint;
  // A try at opening a lost route again: a route that played on its chosen endpoint
  // waits for that very endpoint instead of playing on the default.
  bool retry = false;
  int asioDriverIndex = 0;
  // The full-duplex ring was outrun once: it opens with more blocks from then on.
  bool duplexRingGrown = false;
};

class AudioRouteHost {
 public:
  // COM is initialised on the window's thread for as long as the route may use it.
  AudioRouteHost();
  ~AudioRouteHost();
  AudioRouteHost(const AudioRouteHost&) = delete;
  AudioRouteHost& operator=(const AudioRouteHost&) = delete;

  // The rack the routes play, the ASIO host the window owns, and the window.
  void attach(SynthRack* rack, AsioHost* asio, HWND window);

  // Closes the route open now, opens and starts the one `setup` names; true when it
  // plays. `inName` and `outName` get its name lines, also when it does not play.
  bool open(const AudioRouteSetup& setup, std::wstring& inName, std::wstring& outName);
  // Closes the route. An engine whose worker did not end is kept (stranded) until it
  // does: it may still come back and reach its engine and the rack.
  void close();
  // At exit: stops the system route's stream, leaving its engine to close.
  void stop();

  AudioRouteKind kind() const { return setup_.kind; }
  // The route's device went away or stalled: the window closes it and opens it again.
  bool lost() const;
  // The full-duplex ring was outrun (only that route's engine tells).
  bool ringOutrun() const;
  // The full-duplex route's capture hands nothing over; its output still plays.
  bool captureStuck() const;
  // Frees the stranded engines whose worker has ended; true when none is left.
  bool freeStranded();
  bool hasStranded() const { return !strandedDsound_.empty() || !strandedWasapi_.empty(); }
  // At the end of the process: stranded engines are left to it, not freed.
  void abandonStranded();

  // The running route's load, dropouts and grown ring.
  void fillHealth(EngineHealth& health) const;
  // The rate and channel count the open route renders; false when none is open.
  bool renderFormat(int32_t& rate, int32_t& channels) const;

  // WASAPI endpoints: true once for every run of changes the service announced while
  // that route is chosen.
  bool takeEndpointNews();
  // The WASAPI route would play on other endpoints if opened now: it plays on the
  // default device and that moved, or a missing chosen endpoint (or input) is back.
  bool endpointsMoved() const;
  // The chosen output endpoint (the default when none is chosen) is present now.
  bool outputEndpointPresent() const;

 private:
  bool openDsound(std::wstring& inName, std::wstring& outName);
  bool openWasapi(std::wstring& inName, std::wstring& outName);
  bool openAsio(std::wstring& inName, std::wstring& outName);

  SynthRack* rack_ = nullptr;
  AsioHost* asio_ = nullptr;
  HWND window_ = nullptr;
  bool comInitialized_ = false;
  AudioRouteSetup setup_;
  std::unique_ptr<DsoundDuplex> dsound_;
  std::unique_ptr<WasapiDuplex> wasapi_;
  std::vector<std::unique_ptr<DsoundDuplex>> strandedDsound_;
  std::vector<std::unique_ptr<WasapiDuplex>> strandedWasapi_;
  // The endpoints the WASAPI route opened last, and whether it played on its chosen
  // output (so a retry after its loss waits for that output).
  WasapiSidePlan render_;
  WasapiSidePlan capture_;
  bool playedChosenOutput_ = false;
  WasapiEndpointWatch watch_;
};
