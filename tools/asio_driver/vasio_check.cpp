// Checks an installed virtual ASIO driver the way a host meets it: finds it in the
// registry, instantiates it through COM, streams for two seconds and counts the
// buffer switches. Exit code 0 when everything held; messages on stdout.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio/asio/asio.h"

namespace {

std::atomic<int> switches{0};
std::atomic<int> timeInfoSwitches{0};
std::atomic<int> resets{0};
std::atomic<int> sizeChanges{0};
std::atomic<int> lastSize{0};
int32_t frames = 0;
ASIOBufferInfo infos[4];

void bufferSwitch(int32_t index, ASIOBool) {
  ++switches;
  // Copy input 1 to output 1 and write a constant to output 2.
  std::memcpy(infos[2].buffers[index], infos[0].buffers[index], static_cast<size_t>(frames) * 4);
  auto* out = static_cast<int32_t*>(infos[3].buffers[index]);
  for (int32_t j = 0; j < frames; ++j) out[j] = 1 << 28;
}

ASIOTime* bufferSwitchTimeInfo(ASIOTime*, int32_t index, ASIOBool direct) {
  ++timeInfoSwitches;
  bufferSwitch(index, direct);
  return nullptr;
}

void sampleRateDidChange(ASIOSampleRate) {}

int32_t asioMessage(int32_t selector, int32_t value, void*, double*) {
  switch (selector) {
    case kAsioSelectorSupported:
      return value == kAsioSupportsTimeInfo || value == kAsioResetRequest ||
                     value == kAsioBufferSizeChange
                 ? 1
                 : 0;
    case kAsioSupportsTimeInfo:
      return 1;
    case kAsioResetRequest:
      ++resets;
      return 1;
    case kAsioBufferSizeChange:
      ++sizeChanges;
      lastSize = value;
      return 1;
    default:
      return 0;
  }
}

int fail(const char* what) {
  std::printf("FAIL: %s\n", what);
  return 1;
}

bool findDriver(const char* name, CLSID* id) {
  char path[200];
  std::snprintf(path, sizeof(path), "SOFTWARE\\ASIO\\%s", name);
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  char text[100];
  DWORD size = sizeof(text);
  DWORD type = 0;
  const bool read = RegQueryValueExA(key, "CLSID", nullptr, &type, reinterpret_cast<BYTE*>(text),
                                     &size) == ERROR_SUCCESS;
  RegCloseKey(key);
  if (!read || type != REG_SZ) return false;
  text[sizeof(text) - 1] = 0;
  WCHAR wide[100];
  MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 100);
  return SUCCEEDED(CLSIDFromString(wide, id));
}

}  // namespace

int main() {
  CoInitialize(nullptr);
  CLSID id{};
  if (!findDriver("Tonbrik Virtual ASIO", &id)) return fail("driver not registered");
  IASIO* driver = nullptr;
  const HRESULT created =
      CoCreateInstance(id, nullptr, CLSCTX_INPROC_SERVER, id, reinterpret_cast<void**>(&driver));
  if (FAILED(created)) {
    std::printf("CoCreateInstance: 0x%08lx\n", static_cast<unsigned long>(created));
    return fail("cannot instantiate");
  }
  if (driver->init(nullptr) != ASIOTrue) return fail("init");
  char name[32] = "";
  driver->getDriverName(name);
  std::printf("driver: %s, version %d\n", name, static_cast<int>(driver->getDriverVersion()));
  int32_t inputs = 0, outputs = 0;
  driver->getChannels(&inputs, &outputs);
  int32_t minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
  driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
  ASIOSampleRate rate = 0;
  driver->getSampleRate(&rate);
  std::printf("channels %d/%d, sizes %d..%d preferred %d, rate %.0f\n", static_cast<int>(inputs),
              static_cast<int>(outputs), static_cast<int>(minSize), static_cast<int>(maxSize),
              static_cast<int>(preferred), rate);
  if (inputs != 2 || outputs != 2) return fail("channel count");
  ASIOChannelInfo channel{};
  channel.channel = 0;
  channel.isInput = ASIOTrue;
  if (driver->getChannelInfo(&channel) != ASE_OK || channel.type != ASIOSTInt32LSB) {
    return fail("channel type (the check expects the default type)");
  }
  if (driver->canSampleRate(48000.0) != ASE_OK || driver->setSampleRate(48000.0) != ASE_OK) {
    return fail("48000 Hz");
  }
  frames = preferred;
  for (int i = 0; i < 4; ++i) infos[i] = ASIOBufferInfo{i < 2 ? ASIOTrue : ASIOFalse, i % 2, {}};
  ASIOCallbacks callbacks{&bufferSwitch, &sampleRateDidChange, &asioMessage, &bufferSwitchTimeInfo};
  if (driver->createBuffers(infos, 4, frames, &callbacks) != ASE_OK) return fail("createBuffers");
  if (driver->controlPanel() != ASE_OK) return fail("controlPanel");
  if (driver->start() != ASE_OK) return fail("start");
  Sleep(2000);
  driver->stop();
  const int counted = switches;
  const double expected = 2.0 * 48000.0 / frames;
  std::printf("buffer switches in 2 s: %d (expected about %.0f), with time info: %d\n", counted,
              expected, timeInfoSwitches.load());
  driver->disposeBuffers();
  driver->Release();
  CoUninitialize();
  // Generous bounds: the machine may be busy; the count shows the thread runs at
  // about the buffer period, not that every period was met.
  if (counted < expected * 0.7 || counted > expected * 1.3) return fail("callback rate");
  if (timeInfoSwitches != counted) return fail("time info not used");
  std::printf("requests: %d resets, %d size changes (last %d)\n", resets.load(), sizeChanges.load(),
              lastSize.load());
  // Set by the caller when it has arranged one reset and one change to 512 frames.
  const char* expect = std::getenv("VASIO_CHECK_EXPECT_REQUESTS");
  if (expect != nullptr && (resets != 1 || sizeChanges != 1 || lastSize != 512)) {
    return fail("requests");
  }
  std::printf("OK\n");
  return 0;
}
