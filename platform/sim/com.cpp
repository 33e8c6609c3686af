#include "platform/sim/com.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>

const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

namespace sim {
namespace {

struct GuidLess {
  bool operator()(const GUID& a, const GUID& b) const {
    return std::memcmp(&a, &b, sizeof(GUID)) < 0;
  }
};

struct Com {
  std::mutex mutex;
  std::map<GUID, ComFactory, GuidLess> classes;
  std::atomic<int> initializeBalance{0};
  std::atomic<int> createCount{0};
  bool failInitialize = false;
};

Com& com() {
  static Com* instance = new Com;
  return *instance;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool parseHex(const char* text, int digits, uint64_t* value) {
  *value = 0;
  for (int i = 0; i < digits; ++i) {
    const int digit = hexValue(text[i]);
    if (digit < 0) return false;
    *value = *value * 16 + static_cast<uint64_t>(digit);
  }
  return true;
}

}  // namespace

bool guidFromString(const char* text, GUID* guid) {
  // {01234567-89ab-cdef-0123-456789abcdef}
  if (text == nullptr || std::strlen(text) != 38 || text[0] != '{' || text[37] != '}') return false;
  if (text[9] != '-' || text[14] != '-' || text[19] != '-' || text[24] != '-') return false;
  uint64_t value = 0;
  GUID result{};
  if (!parseHex(text + 1, 8, &value)) return false;
  result.Data1 = static_cast<uint32_t>(value);
  if (!parseHex(text + 10, 4, &value)) return false;
  result.Data2 = static_cast<uint16_t>(value);
  if (!parseHex(text + 15, 4, &value)) return false;
  result.Data3 = static_cast<uint16_t>(value);
  const int offsets[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; ++i) {
    if (!parseHex(text + offsets[i], 2, &value)) return false;
    result.Data4[i] = static_cast<uint8_t>(value);
  }
  *guid = result;
  return true;
}

void registerComClass(REFCLSID clsid, ComFactory factory) {
  std::lock_guard lock(com().mutex);
  com().classes[clsid] = std::move(factory);
}

void unregisterComClass(REFCLSID clsid) {
  std::lock_guard lock(com().mutex);
  com().classes.erase(clsid);
}

void unregisterAllComClasses() {
  std::lock_guard lock(com().mutex);
  com().classes.clear();
}

int comInitializeBalance() {
  return com().initializeBalance;
}
int coCreateInstanceCount() {
  return com().createCount;
}

void failCoInitialize(bool fail) {
  std::lock_guard lock(com().mutex);
  com().failInitialize = fail;
}

void resetCom() {
  std::lock_guard lock(com().mutex);
  com().classes.clear();
  com().initializeBalance = 0;
  com().createCount = 0;
  com().failInitialize = false;
}

}  // namespace sim

using namespace sim;

HRESULT CoInitializeEx(LPVOID, DWORD) {
  {
    std::lock_guard lock(com().mutex);
    if (com().failInitialize) return E_FAIL;
  }
  ++com().initializeBalance;
  return S_OK;
}

HRESULT CoInitialize(LPVOID reserved) {
  return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED);
}

void CoUninitialize() {
  --com().initializeBalance;
}

HRESULT CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD, REFIID iid, LPVOID* object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  ComFactory factory;
  {
    std::lock_guard lock(com().mutex);
    auto it = com().classes.find(clsid);
    if (it == com().classes.end()) return REGDB_E_CLASSNOTREG;
    factory = it->second;
  }
  ++com().createCount;
  return factory(iid, object);
}

HRESULT CLSIDFromString(LPCOLESTR text, LPCLSID clsid) {
  if (text == nullptr || clsid == nullptr) return E_INVALIDARG;
  std::string narrow;
  for (const OLECHAR* c = text; *c != 0; ++c) {
    if (*c > 0x7f) return CO_E_CLASSSTRING;
    narrow.push_back(static_cast<char>(*c));
  }
  return guidFromString(narrow.c_str(), clsid) ? S_OK : CO_E_CLASSSTRING;
}
