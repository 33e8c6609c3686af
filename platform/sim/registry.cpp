#include "platform/sim/registry.h"

#include "platform/sim/kernel.h"

#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

namespace sim {
namespace {

char lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lowered(const std::string& text) {
  std::string result = text;
  for (char& c : result) c = lower(c);
  return result;
}

struct NoCaseLess {
  bool operator()(const std::string& a, const std::string& b) const {
    return lowered(a) < lowered(b);
  }
};

struct Value {
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

struct Key {
  std::map<std::string, std::unique_ptr<Key>, NoCaseLess> subkeys;
  std::map<std::string, Value, NoCaseLess> values;
};

bool isStringType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ;
}

// Narrow text in the simulated code page (Latin-1) as stored WCHAR units.
std::vector<BYTE> wideBytes(const std::string& text, bool terminate) {
  std::vector<BYTE> data((text.size() + (terminate ? 1 : 0)) * sizeof(WCHAR));
  WCHAR* units = reinterpret_cast<WCHAR*>(data.data());
  for (size_t i = 0; i < text.size(); ++i) units[i] = static_cast<unsigned char>(text[i]);
  if (terminate) units[text.size()] = 0;
  return data;
}

// Stored WCHAR units back in the code page; characters it lacks become '?'. A trailing
// partial unit is dropped.
std::string narrowText(const std::vector<BYTE>& data) {
  std::string text(data.size() / sizeof(WCHAR), '\0');
  const WCHAR* units = reinterpret_cast<const WCHAR*>(data.data());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto unit = static_cast<uint32_t>(units[i]);
    text[i] = unit <= 0xFF ? static_cast<char>(unit) : '?';
  }
  return text;
}

// Key and value names given as WCHAR text, held as UTF-8 like the narrow ones.
std::string utf8Name(LPCWSTR name) {
  std::string out;
  if (name == nullptr) return out;
  for (; *name != 0; ++name) {
    const auto c = static_cast<uint32_t>(*name);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

// An open handle refers to a key by its path from a root, so that deleting a key
// while a handle is open makes later calls on the handle fail instead of crashing.
struct Handle {
  HKEY root;
  std::vector<std::string> path;
};

struct Registry {
  std::mutex mutex;
  Key classesRoot;
  Key currentUser;
  Key localMachine;
  std::map<uintptr_t, Handle> handles;
  uintptr_t nextHandle = 0x1000;
  std::set<std::string> files;
  bool failWrites = false;
  std::map<std::string, std::string, NoCaseLess> environment;
};

Registry& registry() {
  static Registry* instance = new Registry;
  return *instance;
}

Key* rootKey(HKEY root) {
  if (root == HKEY_CLASSES_ROOT) return &registry().classesRoot;
  if (root == HKEY_CURRENT_USER) return &registry().currentUser;
  if (root == HKEY_LOCAL_MACHINE) return &registry().localMachine;
  return nullptr;
}

std::vector<std::string> split(const std::string& path) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : path) {
    if (c == '\\') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part.push_back(c);
    }
  }
  if (!part.empty()) parts.push_back(part);
  return parts;
}

Key* walk(Key* key, const std::vector<std::string>& path, bool create) {
  for (const std::string& part : path) {
    if (key == nullptr) return nullptr;
    auto it = key->subkeys.find(part);
    if (it == key->subkeys.end()) {
      if (!create) return nullptr;
      it = key->subkeys.emplace(part, std::make_unique<Key>()).first;
    }
    key = it->second.get();
  }
  return key;
}

// Resolves a handle (a root or an open key) to its root and path; false if unknown.
bool resolve(HKEY key, Handle* out) {
  if (rootKey(key) != nullptr) {
    *out = Handle{key, {}};
    return true;
  }
  auto it = registry().handles.find(reinterpret_cast<uintptr_t>(key));
  if (it == registry().handles.end()) return false;
  *out = it->second;
  return true;
}

Key* find(const Handle& handle) {
  return walk(rootKey(handle.root), handle.path, false);
}

}  // namespace

void createRegistryKey(HKEY root, const std::string& path) {
  std::lock_guard lock(registry().mutex);
  walk(rootKey(root), split(path), true);
}

void setRegistryString(HKEY root, const std::string& path, const std::string& name,
                       const std::string& value) {
  std::lock_guard lock(registry().mutex);
  Key* key = walk(rootKey(root), split(path), true);
  if (key != nullptr) key->values[name] = Value{REG_SZ, wideBytes(value, true)};
}

void setRegistryValue(HKEY root, const std::string& path, const std::string& name, DWORD type,
                      const std::vector<BYTE>& data) {
  std::lock_guard lock(registry().mutex);
  Key* key = walk(rootKey(root), split(path), true);
  if (key != nullptr) key->values[name] = Value{type, data};
}

bool registryValue(HKEY root, const std::string& path, const std::string& name, DWORD* type,
                   std::vector<BYTE>* data) {
  std::lock_guard lock(registry().mutex);
  const Key* key = walk(rootKey(root), split(path), false);
  if (key == nullptr) return false;
  auto it = key->values.find(name);
  if (it == key->values.end()) return false;
  if (type != nullptr) *type = it->second.type;
  if (data != nullptr) *data = it->second.data;
  return true;
}

void setRegistryBytes(HKEY root, const std::string& path, const std::string& name, DWORD type,
                      const std::string& bytes) {
  std::vector<BYTE> data(bytes.begin(), bytes.end());
  if (isStringType(type)) data = wideBytes(bytes, false);
  std::lock_guard lock(registry().mutex);
  Key* key = walk(rootKey(root), split(path), true);
  if (key != nullptr) key->values[name] = Value{type, std::move(data)};
}

void setEnvironmentString(const std::string& name, const std::string& value) {
  std::lock_guard lock(registry().mutex);
  if (value.empty()) {
    registry().environment.erase(name);
  } else {
    registry().environment[name] = value;
  }
}

void failRegistryWrites(bool fail) {
  std::lock_guard lock(registry().mutex);
  registry().failWrites = fail;
}

void deleteRegistryKey(HKEY root, const std::string& path) {
  std::lock_guard lock(registry().mutex);
  std::vector<std::string> parts = split(path);
  if (parts.empty()) return;
  const std::string last = parts.back();
  parts.pop_back();
  Key* parent = walk(rootKey(root), parts, false);
  if (parent != nullptr) parent->subkeys.erase(last);
}

void declareFile(const std::string& path) {
  std::lock_guard lock(registry().mutex);
  registry().files.insert(lowered(path));
}

int openRegistryKeyCount() {
  std::lock_guard lock(registry().mutex);
  return static_cast<int>(registry().handles.size());
}

void resetRegistry() {
  std::lock_guard lock(registry().mutex);
  registry().classesRoot = Key{};
  registry().currentUser = Key{};
  registry().localMachine = Key{};
  registry().handles.clear();
  registry().files.clear();
  registry().failWrites = false;
  registry().environment.clear();
}

}  // namespace sim

using namespace sim;

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM, PHKEY result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  std::lock_guard lock(registry().mutex);
  Handle handle;
  if (!resolve(key, &handle)) return ERROR_INVALID_HANDLE;
  if (subKey != nullptr) {
    for (const std::string& part : split(subKey)) handle.path.push_back(part);
  }
  if (find(handle) == nullptr) return ERROR_FILE_NOT_FOUND;
  const uintptr_t id = registry().nextHandle++;
  registry().handles[id] = handle;
  *result = reinterpret_cast<HKEY>(id);
  return ERROR_SUCCESS;
}

LONG RegOpenKeyA(HKEY key, LPCSTR subKey, PHKEY result) {
  return RegOpenKeyExA(key, subKey, 0, KEY_READ, result);
}

LONG RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD nameSize) {
  std::lock_guard lock(registry().mutex);
  Handle handle;
  if (!resolve(key, &handle)) return ERROR_INVALID_HANDLE;
  const Key* found = find(handle);
  if (found == nullptr) return ERROR_INVALID_HANDLE;
  if (index >= found->subkeys.size()) return ERROR_NO_MORE_ITEMS;
  auto it = found->subkeys.begin();
  std::advance(it, index);
  const std::string& subkey = it->first;
  if (name == nullptr || subkey.size() + 1 > nameSize) return ERROR_MORE_DATA;
  std::memcpy(name, subkey.c_str(), subkey.size() + 1);
  return ERROR_SUCCESS;
}

namespace {

// Copies a value's bytes out with the size protocol of RegQueryValueEx.
LONG answerValue(DWORD valueType, const BYTE* bytes, DWORD size, LPDWORD type, LPBYTE data,
                 LPDWORD dataSize) {
  if (type != nullptr) *type = valueType;
  if (data == nullptr) {
    if (dataSize != nullptr) *dataSize = size;
    return ERROR_SUCCESS;
  }
  if (dataSize == nullptr) return ERROR_INVALID_PARAMETER;
  if (*dataSize < size) {
    *dataSize = size;
    return ERROR_MORE_DATA;
  }
  if (size > 0) std::memcpy(data, bytes, size);
  *dataSize = size;
  return ERROR_SUCCESS;
}

// The value under an open handle, or an error code. Call with the mutex held.
LONG lookUp(HKEY key, const std::string& name, const Value** value) {
  Handle handle;
  if (!resolve(key, &handle)) return ERROR_INVALID_HANDLE;
  const Key* found = find(handle);
  if (found == nullptr) return ERROR_INVALID_HANDLE;
  auto it = found->values.find(name);
  if (it == found->values.end()) return ERROR_FILE_NOT_FOUND;
  *value = &it->second;
  return ERROR_SUCCESS;
}

}  // namespace

LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD, LPDWORD type, LPBYTE data,
                      LPDWORD dataSize) {
  std::lock_guard lock(registry().mutex);
  const Value* value = nullptr;
  const LONG found = lookUp(key, valueName != nullptr ? valueName : "", &value);
  if (found != ERROR_SUCCESS) return found;
  if (!isStringType(value->type)) {
    return answerValue(value->type, value->data.data(), static_cast<DWORD>(value->data.size()),
                       type, data, dataSize);
  }
  const std::string text = narrowText(value->data);
  return answerValue(value->type, reinterpret_cast<const BYTE*>(text.data()),
                     static_cast<DWORD>(text.size()), type, data, dataSize);
}

LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD, LPDWORD type, LPBYTE data,
                      LPDWORD dataSize) {
  std::lock_guard lock(registry().mutex);
  const Value* value = nullptr;
  const LONG found = lookUp(key, utf8Name(valueName), &value);
  if (found != ERROR_SUCCESS) return found;
  return answerValue(value->type, value->data.data(), static_cast<DWORD>(value->data.size()), type,
                     data, dataSize);
}

LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result) {
  if (subKey == nullptr) return RegOpenKeyExA(key, nullptr, options, access, result);
  return RegOpenKeyExA(key, utf8Name(subKey).c_str(), options, access, result);
}

LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES,
                     PHKEY result, LPDWORD disposition) {
  if (result == nullptr || subKey == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  std::lock_guard lock(registry().mutex);
  if (registry().failWrites) return ERROR_ACCESS_DENIED;
  Handle handle;
  if (!resolve(key, &handle)) return ERROR_INVALID_HANDLE;
  if (find(handle) == nullptr) return ERROR_INVALID_HANDLE;
  for (const std::string& part : split(utf8Name(subKey))) handle.path.push_back(part);
  const bool existed = find(handle) != nullptr;
  walk(rootKey(handle.root), handle.path, true);
  const uintptr_t id = registry().nextHandle++;
  registry().handles[id] = handle;
  *result = reinterpret_cast<HKEY>(id);
  if (disposition != nullptr)
    *disposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
  return ERROR_SUCCESS;
}

LONG RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD, DWORD type, const BYTE* data,
                    DWORD dataSize) {
  if (data == nullptr && dataSize > 0) return ERROR_INVALID_PARAMETER;
  std::lock_guard lock(registry().mutex);
  if (registry().failWrites) return ERROR_ACCESS_DENIED;
  Handle handle;
  if (!resolve(key, &handle)) return ERROR_INVALID_HANDLE;
  Key* found = find(handle);
  if (found == nullptr) return ERROR_INVALID_HANDLE;
  Value value{type, {}};
  if (dataSize > 0) value.data.assign(data, data + dataSize);
  found->values[utf8Name(valueName)] = std::move(value);
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
  if (rootKey(key) != nullptr) return ERROR_SUCCESS;
  std::lock_guard lock(registry().mutex);
  return registry().handles.erase(reinterpret_cast<uintptr_t>(key)) == 1 ? ERROR_SUCCESS
                                                                         : ERROR_INVALID_HANDLE;
}

DWORD CharLowerBuffA(LPSTR text, DWORD length) {
  if (text == nullptr) return 0;
  for (DWORD i = 0; i < length; ++i) text[i] = lower(text[i]);
  return length;
}

HFILE OpenFile(LPCSTR path, LPOFSTRUCT info, UINT style) {
  // Only the existence probe is simulated. Like Windows, the path must fit the
  // structure's 128-byte name field.
  if (path == nullptr || info == nullptr || style != OF_EXIST) return HFILE_ERROR;
  const size_t length = std::strlen(path);
  if (length >= OFS_MAXPATHNAME) {
    info->nErrCode = ERROR_INVALID_PARAMETER;
    return HFILE_ERROR;
  }
  std::lock_guard lock(registry().mutex);
  if (registry().files.count(lowered(path)) == 0) {
    info->nErrCode = ERROR_FILE_NOT_FOUND;
    return HFILE_ERROR;
  }
  info->nErrCode = 0;
  std::memcpy(info->szPathName, path, length + 1);
  return 1;
}

int MultiByteToWideChar(UINT, DWORD, LPCSTR text, int textBytes, LPWSTR wide, int wideChars) {
  // The simulated code page is Latin-1: one byte gives one character.
  if (text == nullptr || textBytes == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const int count = textBytes < 0 ? static_cast<int>(std::strlen(text)) + 1 : textBytes;
  if (wideChars == 0) return count;
  if (wide == nullptr || wideChars < count) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  for (int i = 0; i < count; ++i) {
    wide[i] = static_cast<WCHAR>(static_cast<unsigned char>(text[i]));
  }
  return count;
}

DWORD ExpandEnvironmentStringsA(LPCSTR source, LPSTR destination, DWORD size) {
  if (source == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string expanded;
  {
    std::lock_guard lock(registry().mutex);
    const char* p = source;
    while (*p != 0) {
      const char* end = *p == '%' ? std::strchr(p + 1, '%') : nullptr;
      if (end == nullptr) {
        expanded.push_back(*p++);
        continue;
      }
      const auto variable = registry().environment.find(std::string(p + 1, end));
      if (end > p + 1 && variable != registry().environment.end()) {
        expanded += variable->second;
        p = end + 1;
      } else {
        // Not a known name: the % stays and the search starts again at the next one.
        expanded.append(p, end);
        p = end;
      }
    }
  }
  const DWORD needed = static_cast<DWORD>(expanded.size() + 1);
  if (destination != nullptr && size >= needed) {
    std::memcpy(destination, expanded.c_str(), needed);
  }
  return needed;
}
