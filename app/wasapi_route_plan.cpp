#include "app/wasapi_route_plan.h"

#include "app/device_settings.h"

namespace {

const wchar_t kDefaultDeviceName[] = L"Default device";

std::wstring modeText(const WasapiOpened& opened) {
  if (!opened.exclusiveAsked) return L"WASAPI shared";
  // Short enough for the window's name line beside a name like "PulseAudio": the
  // route plays shared then, which "refused" tells.
  return opened.sharedFallback ? L"WASAPI, exclusive refused" : L"WASAPI exclusive";
}

std::wstring withMissingNote(std::wstring line, const WasapiSidePlan& side,
                             const std::wstring& chosen) {
  if (side.missing) line += L" (" + shownChoice(chosen) + L" not found)";
  return line;
}

}  // namespace

WasapiSidePlan planWasapiSide(const WasapiEndpointNames& endpoints, const std::wstring& chosen) {
  WasapiSidePlan plan;
  const ResolvedChoice choice = resolveChoice(endpoints.names, chosen);
  plan.missing = choice.missing;
  if (choice.index >= 0 && static_cast<size_t>(choice.index) < endpoints.ids.size()) {
    plan.openId = plan.playingId = endpoints.ids[static_cast<size_t>(choice.index)];
    plan.name = endpoints.names[static_cast<size_t>(choice.index)];
    return plan;
  }
  plan.playingId = endpoints.defaultId;
  if (endpoints.defaultId.empty()) return plan;
  plan.name = kDefaultDeviceName;
  for (size_t i = 0; i < endpoints.ids.size() && i < endpoints.names.size(); ++i) {
    if (endpoints.ids[i] == endpoints.defaultId) plan.name = endpoints.names[i];
  }
  return plan;
}

std::wstring wasapiOutLine(const WasapiSidePlan& render, const std::wstring& chosen,
                           const WasapiOpened& opened) {
  const std::wstring name = render.name.empty() ? L"No output" : render.name;
  return withMissingNote(name + L" (" + modeText(opened) + L")", render, chosen);
}

std::wstring wasapiInLine(const WasapiSidePlan& capture, const std::wstring& chosen,
                          const WasapiOpened& opened) {
  std::wstring line;
  if (capture.name.empty()) {
    line = L"No input (output only)";
  } else if (opened.outputOnly) {
    line = capture.name + L" (refused: output only)";
  } else {
    WasapiOpened mode = opened;
    // The input follows the output's mode; the refusal is told on the output's line.
    if (mode.sharedFallback) mode.exclusiveAsked = false;
    line = capture.name + L" (" + modeText(mode) + L")";
  }
  return withMissingNote(line, capture, chosen);
}

bool wasapiSideMoved(const WasapiSidePlan& playing, const WasapiSidePlan& now) {
  // A chosen endpoint that is back is opened by its id.
  if (playing.missing && !now.missing) return true;
  // A side on the default (chosen so, or standing in) follows it. A chosen endpoint
  // that went away is the route's loss, not a move; so is a default that is gone.
  if (!playing.openId.empty()) return false;
  return !now.playingId.empty() && now.playingId != playing.playingId;
}
