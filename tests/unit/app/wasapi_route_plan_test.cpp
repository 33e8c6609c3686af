#include <gtest/gtest.h>

#include "app/device_settings.h"
#include "app/wasapi_route_plan.h"

namespace {

const WasapiEndpointNames kTwo{{L"{spk}", L"{usb}"}, {L"Speakers", L"USB Audio"}, L"{spk}"};

TEST(WasapiRoutePlanTest, AChosenEndpointOpensByIdAMissingOneFallsBackAndSaysSo) {
  const WasapiSidePlan usb = planWasapiSide(kTwo, L"USB Audio");
  EXPECT_EQ(usb, (WasapiSidePlan{L"{usb}", L"{usb}", L"USB Audio", false}));
  EXPECT_EQ(wasapiOutLine(usb, L"USB Audio", {.exclusiveAsked = true}),
            L"USB Audio (WASAPI exclusive)");

  const WasapiSidePlan gone = planWasapiSide(kTwo, L"Headset");
  EXPECT_EQ(gone, (WasapiSidePlan{L"", L"{spk}", L"Speakers", true}));
  EXPECT_EQ(wasapiOutLine(gone, L"Headset", {.exclusiveAsked = true, .sharedFallback = true}),
            L"Speakers (WASAPI, exclusive refused) (Headset not found)");
  // The second of two identical endpoints is told apart by its occurrence.
  const WasapiEndpointNames twins{{L"{a}", L"{b}"}, {L"USB", L"USB"}, L"{a}"};
  EXPECT_EQ(planWasapiSide(twins, choiceOf(twins.names, 1)).openId, L"{b}");
}

TEST(WasapiRoutePlanTest, TheInputLineSaysWhenTheRoutePlaysOutputOnly) {
  const WasapiSidePlan mic = planWasapiSide({{L"{mic}"}, {L"Mic"}, L"{mic}"}, L"");
  EXPECT_EQ(wasapiInLine(mic, L"", {}), L"Mic (WASAPI shared)");
  EXPECT_EQ(wasapiInLine(mic, L"", {.exclusiveAsked = true, .sharedFallback = true}),
            L"Mic (WASAPI shared)");
  EXPECT_EQ(wasapiInLine(mic, L"", {.outputOnly = true}), L"Mic (refused: output only)");
  const WasapiSidePlan none = planWasapiSide({}, L"");
  EXPECT_EQ(wasapiInLine(none, L"", {.outputOnly = true}), L"No input (output only)");
}

TEST(WasapiRoutePlanTest, ADefaultSideFollowsTheDefaultAndAMissingChoiceReturns) {
  const WasapiSidePlan onDefault = planWasapiSide(kTwo, L"");
  const WasapiEndpointNames moved{kTwo.ids, kTwo.names, L"{usb}"};
  EXPECT_TRUE(wasapiSideMoved(onDefault, planWasapiSide(moved, L"")));
  EXPECT_FALSE(wasapiSideMoved(onDefault, planWasapiSide(kTwo, L"")));
  // The default gone altogether is the route's loss, not a move to nothing.
  EXPECT_FALSE(wasapiSideMoved(onDefault, planWasapiSide({}, L"")));
  // A chosen endpoint that goes away is a loss too; one that was missing and is back
  // is opened by its id.
  const WasapiSidePlan usb = planWasapiSide(kTwo, L"USB Audio");
  const WasapiEndpointNames usbGone{{L"{spk}"}, {L"Speakers"}, L"{spk}"};
  EXPECT_FALSE(wasapiSideMoved(usb, planWasapiSide(usbGone, L"USB Audio")));
  EXPECT_TRUE(wasapiSideMoved(planWasapiSide(usbGone, L"USB Audio"), usb));
}

}  // namespace
