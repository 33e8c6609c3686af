#include "audio/asio/asio_driver_registry.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "audio/asio/asio_api.h"

namespace {

constexpr DWORD kKeyNameSize = 128;
constexpr DWORD kValueSize = 256;
constexpr DWORD kClassKeyNameSize = 512;
constexpr DWORD kServerPathSize = 512;
constexpr int kClassIdChars = 100;

// Reads a string value into `text` (capacity `size`, at most kServerPathSize),
// always NUL-terminated. An expandable string (a common type for server paths) is
// expanded; one whose expansion does not fit is refused rather than cut.
bool readString(HKEY key, const char* name, char* text, DWORD size) {
  text[0] = 0;
  char stored[kServerPathSize];
  DWORD type = REG_NONE;
  DWORD bytes = size;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(stored), &bytes) !=
          ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ)) {
    return false;
  }
  // A stored value need not end with a NUL of its own.
  stored[bytes < size ? bytes : size - 1] = 0;
  if (type == REG_SZ) {
    std::memcpy(text, stored, std::strlen(stored) + 1);
    return true;
  }
  const DWORD needed = ExpandEnvironmentStringsA(stored, text, size);
  if (needed == 0 || needed > size) {
    text[0] = 0;
    return false;
  }
  text[size - 1] = 0;
  return true;
}

void lowerInPlace(char* text) {
  CharLowerBuffA(text, static_cast<DWORD>(std::strlen(text)));
}

// Finds the in-process server registered for the class-id text (lower-cased in place)
// and checks that its file exists; true with the path in `serverPath`.
bool checkRegistration(char* classIdText, char* serverPath) {
  lowerInPlace(classIdText);
  HKEY classes = nullptr;
  if (RegOpenKeyA(HKEY_CLASSES_ROOT, "clsid", &classes) != ERROR_SUCCESS) return false;
  bool registered = false;
  char name[kClassKeyNameSize];
  for (DWORD index = 0; RegEnumKeyA(classes, index, name, kClassKeyNameSize) == ERROR_SUCCESS;
       ++index) {
    lowerInPlace(name);
    if (std::strcmp(name, classIdText) != 0) continue;
    HKEY classKey = nullptr;
    if (RegOpenKeyExA(classes, name, 0, KEY_READ, &classKey) == ERROR_SUCCESS) {
      HKEY server = nullptr;
      if (RegOpenKeyExA(classKey, "InprocServer32", 0, KEY_READ, &server) == ERROR_SUCCESS) {
        if (readString(server, nullptr, serverPath, kServerPathSize)) {
          OFSTRUCT file{};
          file.cBytes = sizeof(OFSTRUCT);
          if (OpenFile(serverPath, &file, OF_EXIST) != HFILE_ERROR) registered = true;
        }
        RegCloseKey(server);
      }
      RegCloseKey(classKey);
    }
    break;
  }
  RegCloseKey(classes);
  return registered;
}

// The entry for one subkey of the ASIO key, or null when it is not usable.
AsioDriverEntry* makeEntry(HKEY asioKey, const char* keyName, int32_t id) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(asioKey, keyName, 0, KEY_READ, &key) != ERROR_SUCCESS) return nullptr;
  AsioDriverEntry* entry = nullptr;
  char classIdText[kValueSize];
  char serverPath[kServerPathSize];
  if (readString(key, "clsid", classIdText, kValueSize) &&
      checkRegistration(classIdText, serverPath)) {
    entry = new (std::nothrow) AsioDriverEntry{};
  }
  if (entry != nullptr) {
    entry->id = id;
    // A text too long for the conversion cannot be a class id: the id stays zero.
    WCHAR wide[kClassIdChars];
    if (MultiByteToWideChar(CP_ACP, 0, classIdText, -1, wide, kClassIdChars) > 0) {
      CLSID parsed{};
      if (SUCCEEDED(CLSIDFromString(wide, &parsed))) entry->classId = parsed;
    }
    std::memcpy(entry->serverPath, serverPath, sizeof(entry->serverPath));
    char description[kValueSize];
    const char* name =
        readString(key, "description", description, kValueSize) ? description : keyName;
    // A description longer than the field is cut at its end.
    const size_t length = std::min(std::strlen(name), sizeof(entry->displayName) - 1);
    std::memcpy(entry->displayName, name, length);
    entry->displayName[length] = 0;
  }
  RegCloseKey(key);
  return entry;
}

}  // namespace

AsioDriverRegistry::AsioDriverRegistry() {
  HKEY asioKey = nullptr;
  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "software\\asio", &asioKey) == ERROR_SUCCESS) {
    char keyName[kKeyNameSize];
    for (DWORD index = 0; RegEnumKeyA(asioKey, index, keyName, kKeyNameSize) == ERROR_SUCCESS;
         ++index) {
      AsioDriverEntry* entry = makeEntry(asioKey, keyName, count);
      if (entry != nullptr) append(entry);
    }
    RegCloseKey(asioKey);
  }
  // COM stays initialised only if this call succeeded, so that the destructor never
  // uninitialises an apartment it did not enter.
  if (count > 0) comInitialized = SUCCEEDED(CoInitialize(nullptr));
}

AsioDriverRegistry::~AsioDriverRegistry() {
  if (count <= 0) return;
  // Last to first, as the list was built.
  for (int32_t id = count - 1; id >= 0; --id) {
    AsioDriverEntry* entry = find(id);
    if (entry->instance != nullptr) entry->instance->Release();
    delete entry;
  }
  entries = nullptr;
  if (comInitialized) CoUninitialize();
}

void AsioDriverRegistry::append(AsioDriverEntry* entry) {
  AsioDriverEntry** link = &entries;
  while (*link != nullptr) link = &(*link)->next;
  *link = entry;
  ++count;
}

AsioDriverEntry* AsioDriverRegistry::find(int32_t id) const {
  for (AsioDriverEntry* entry = entries; entry != nullptr; entry = entry->next) {
    if (entry->id == id) return entry;
  }
  return nullptr;
}

int32_t AsioDriverRegistry::entryName(int32_t id, char* text, int32_t capacity) const {
  if (text == nullptr || capacity <= 0) return DriverListBadArgument;
  const AsioDriverEntry* entry = find(id);
  if (entry == nullptr) return DriverListNoEntry;
  const size_t length = std::strlen(entry->displayName);
  const size_t room = static_cast<size_t>(capacity);
  if (length < room) {
    std::memcpy(text, entry->displayName, length + 1);
    return ASE_OK;
  }
  // Too long: keep the start and mark the cut with "...", `capacity` bytes in all.
  const size_t kept = room >= 4 ? room - 4 : 0;
  std::memcpy(text, entry->displayName, kept);
  size_t end = kept;
  while (end + 1 < room) text[end++] = '.';
  text[end] = 0;
  return ASE_OK;
}

int32_t AsioDriverRegistry::entryPath(int32_t id, char* text, int32_t capacity) const {
  if (text == nullptr) return DriverListBadArgument;
  const AsioDriverEntry* entry = find(id);
  if (entry == nullptr) return DriverListNoEntry;
  const size_t length = std::strlen(entry->serverPath);
  if (capacity > 0 && length < static_cast<size_t>(capacity)) {
    std::memcpy(text, entry->serverPath, length + 1);
    return ASE_OK;
  }
  if (capacity > 0) text[0] = 0;
  return DriverListBadArgument;
}

int32_t AsioDriverRegistry::entryClassId(int32_t id, CLSID* guid) const {
  if (guid == nullptr) return DriverListBadArgument;
  const AsioDriverEntry* entry = find(id);
  if (entry == nullptr) return DriverListNoEntry;
  *guid = entry->classId;
  return ASE_OK;
}

int32_t AsioDriverRegistry::createInstance(int32_t id, IASIO** out) {
  if (out == nullptr) return DriverListBadArgument;
  AsioDriverEntry* entry = find(id);
  if (entry == nullptr) return DriverListNoEntry;
  if (entry->instance != nullptr) return DriverListInUse;
  void* object = nullptr;
  const HRESULT result =
      CoCreateInstance(entry->classId, nullptr, CLSCTX_INPROC_SERVER, entry->classId, &object);
  if (FAILED(result)) return result;
  entry->instance = static_cast<IASIO*>(object);
  *out = entry->instance;
  return ASE_OK;
}

int32_t AsioDriverRegistry::releaseInstance(int32_t id) {
  AsioDriverEntry* entry = find(id);
  if (entry != nullptr && entry->instance != nullptr) {
    entry->instance->Release();
    entry->instance = nullptr;
  }
  return ASE_OK;
}

int32_t AsioDriverRegistry::entryNames(char** texts, int32_t max) const {
  const int32_t listed = count < max ? count : max;
  if (texts == nullptr) return listed < 0 ? 0 : listed;
  for (int32_t id = 0; id < listed; ++id) entryName(id, texts[id], kNameCapacity);
  return listed < 0 ? 0 : listed;
}

bool AsioDriverRegistry::currentEntryName(char* text) const {
  if (current >= 0) return entryName(current, text, kNameCapacity) == ASE_OK;
  text[0] = 0;
  return false;
}

bool AsioDriverRegistry::selectByName(const char* name) {
  if (name == nullptr) return false;
  char entryText[kNameCapacity];
  for (int32_t id = 0; id < count; ++id) {
    if (entryName(id, entryText, kNameCapacity) != ASE_OK) continue;
    if (std::strcmp(entryText, name) == 0) return selectById(id);
  }
  return false;
}

bool AsioDriverRegistry::selectById(int32_t id) {
  if (find(id) == nullptr) return false;
  const int32_t previous = current;
  releaseCurrent();
  IASIO* driver = nullptr;
  if (createInstance(id, &driver) == ASE_OK) {
    current = id;
    currentDriver.set(driver);
    return true;
  }
  currentDriver.set(nullptr);
  if (previous != kNoCurrent && previous != id) selectById(previous);
  return false;
}

void AsioDriverRegistry::releaseCurrent() {
  if (current != kNoCurrent) releaseInstance(current);
  current = kNoCurrent;
}

IASIO* AsioDriverRegistry::detachCurrent() {
  AsioDriverEntry* entry = current != kNoCurrent ? find(current) : nullptr;
  current = kNoCurrent;
  if (entry == nullptr) return nullptr;
  IASIO* instance = entry->instance;
  entry->instance = nullptr;
  return instance;
}
