#include "fake_config.h"

#include <windows.h>

#include <cstdlib>

namespace fake_winmm {
namespace {

LARGE_INTEGER loadCounter() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now;
}
const LARGE_INTEGER loadTime = loadCounter();

std::string environment(const char* name) {
  char buffer[1024];
  DWORD n = GetEnvironmentVariableA(name, buffer, sizeof buffer);
  if (n == 0 || n >= sizeof buffer) return {};
  return std::string(buffer, n);
}

std::string moduleFolder() {
  HMODULE self = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&moduleFolder), &self);
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(self, path, MAX_PATH);
  std::string folder(path, n);
  size_t cut = folder.find_last_of("\\/");
  return cut == std::string::npos ? std::string(".") : folder.substr(0, cut);
}

bool isAbsolute(const std::string& name) {
  return (name.size() > 1 && name[1] == ':') ||
         (!name.empty() && (name[0] == '\\' || name[0] == '/'));
}

std::vector<OutputKind> parseOutputs(const std::string& text) {
  std::vector<OutputKind> kinds;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    if (comma == std::string::npos) comma = text.size();
    std::string item = text.substr(pos, comma - pos);
    if (item == "port") kinds.push_back(OutputKind::Port);
    if (item == "synth") kinds.push_back(OutputKind::Synth);
    pos = comma + 1;
  }
  return kinds;
}

Config load() {
  Config c;
  c.dir = environment("FAKE_WINMM_DIR");
  if (c.dir.empty()) c.dir = moduleFolder();
  while (c.dir.size() > 1 && (c.dir.back() == '\\' || c.dir.back() == '/')) c.dir.pop_back();
  std::string events = environment("FAKE_WINMM_EVENTS");
  c.eventsPath = events.empty() ? "midi_in_events.txt" : events;
  c.triggerPath = environment("FAKE_WINMM_TRIGGER");
  std::string inputs = environment("FAKE_WINMM_INPUTS");
  c.inputCount = inputs.empty() ? 1 : std::atoi(inputs.c_str());
  if (c.inputCount < 0) c.inputCount = 0;
  if (c.inputCount > Config::kMaxInputs) c.inputCount = Config::kMaxInputs;
  std::string outputs = environment("FAKE_WINMM_OUTPUTS");
  c.outputs = parseOutputs(outputs.empty() ? std::string("synth,port") : outputs);
  return c;
}

}  // namespace

const Config& config() {
  static Config loaded = [] {
    Config c = load();
    c.eventsPath = isAbsolute(c.eventsPath) ? c.eventsPath : c.dir + "\\" + c.eventsPath;
    if (!c.triggerPath.empty() && !isAbsolute(c.triggerPath))
      c.triggerPath = c.dir + "\\" + c.triggerPath;
    return c;
  }();
  return loaded;
}

std::string pathInDir(const std::string& name) {
  return isAbsolute(name) ? name : config().dir + "\\" + name;
}

long long millisSinceLoad() {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return (now.QuadPart - loadTime.QuadPart) * 1000 / frequency.QuadPart;
}

}  // namespace fake_winmm
