// Which endpoints a WASAPI route opens for the user's choices, what its name lines
// say, and when endpoint changes call for opening it again. Window-free, so it can be
// tested natively; the window's route type acts on the answers.
#pragma once

#include <string>
#include <vector>

// The active endpoints of one direction as the service lists them now.
struct WasapiEndpointNames {
  std::vector<std::wstring> ids;
  std::vector<std::wstring> names;  // friendly names, in the same order
  std::wstring defaultId;           // "" when there is no default endpoint
};

// One side of the route: the id to open ("" for the system's default), the endpoint
// that plays (the default's id for a route on the default) and its name, and whether
// a chosen endpoint is missing (the default plays then).
struct WasapiSidePlan {
  std::wstring openId;
  std::wstring playingId;
  std::wstring name;  // "" when there is no endpoint at all
  bool missing = false;

  bool operator==(const WasapiSidePlan&) const = default;
};
WasapiSidePlan planWasapiSide(const WasapiEndpointNames& endpoints, const std::wstring& chosen);

// How the route opened, for its name lines.
struct WasapiOpened {
  bool exclusiveAsked = false;
  bool sharedFallback = false;  // exclusive was refused: shared plays
  bool outputOnly = false;      // no capture, or the capture endpoint refused
};
// "Speakers (WASAPI shared)", "Speakers (WASAPI exclusive)",
// "Speakers (WASAPI, exclusive refused)" (playing shared); a chosen endpoint not present adds
// " (X not found)" as the other name lines do.
std::wstring wasapiOutLine(const WasapiSidePlan& render, const std::wstring& chosen,
                           const WasapiOpened& opened);
// The capture endpoint in the same mode, or that the route plays output only:
// "Microphone (refused: output only)", "No input (output only)".
std::wstring wasapiInLine(const WasapiSidePlan& capture, const std::wstring& chosen,
                          const WasapiOpened& opened);

// After the service announced endpoint changes: true when a side playing on `playing`
// is to be opened again on `now`: it plays on the default and the default moved, or
// its chosen endpoint was missing and is back.
bool wasapiSideMoved(const WasapiSidePlan& playing, const WasapiSidePlan& now);
