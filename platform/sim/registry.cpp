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
  DWORD type;
  std::string bytes;
};

struct Key {
  std::map<std::string, std::unique_ptr<Key>, NoCaseLess> subkeys;
  std::map<std::string, Value, NoCaseLess> values;
};

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

void setRegistryValue(HKEY root, const std::string& path, const std::string& name, DWORD type,
                      const std::string& bytes) {
  std::lock_guard lock(registry().mutex);
  Key* key = walk(rootKey(root), split(path), true);
  if (key != nullptr) key->values[name] = Value{type, bytes};
}

void setRegistryString(HKEY root, const std::string& path, const std::string& name,
                       const std::string& value) {
  setRegistryValue(root, path, name, REG_SZ, value + '\0');
}

void setEnvironmentString(const std::string& name, const std::string& value) {
  std::lock_guard lock(registry().mutex);
  if (value.empty()) {
    registry().environment.erase(name);
  } else {
    registry().environment[name] = value;
  }
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

LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD, LPDWORD type, LPBYTE data,
                      LPDWORD dataSize) {
  std::lock_guard lock(registry().mutex);
  Handle handle;
  if (!resolve(key, &handle)) return ERROR_INVALID_HANDLE;
  const Key* found = find(handle);
  if (found == nullptr) return ERROR_INVALID_HANDLE;
  auto it = found->values.find(valueName != nullptr ? valueName : "");
  if (it == found->values.end()) return ERROR_FILE_NOT_FOUND;
  const DWORD needed = static_cast<DWORD>(it->second.bytes.size());
  if (type != nullptr) *type = it->second.type;
  if (data == nullptr) {
    if (dataSize != nullptr) *dataSize = needed;
    return ERROR_SUCCESS;
  }
  if (dataSize == nullptr) return ERROR_INVALID_PARAMETER;
  if (*dataSize < needed) {
    *dataSize = needed;
    return ERROR_MORE_DATA;
  }
  std::memcpy(data, it->second.bytes.data(), needed);
  *dataSize = needed;
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
