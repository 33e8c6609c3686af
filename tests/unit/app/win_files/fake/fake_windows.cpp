#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <set>

namespace fakewin {
namespace {

struct Open {
  std::wstring path;
  bool writing = false;
  size_t position = 0;
};

std::set<std::wstring> folders_;
std::map<std::wstring, File> files_;
std::map<intptr_t, Open> open_;
std::vector<std::string> calls_;
struct Failure {
  DWORD error;
  int times;
  int after;
};
std::map<std::string, Failure> failures_;
intptr_t nextHandle_ = 100;
int nextId_ = 1;
bool administrator_ = false;
thread_local DWORD lastError_ = 0;

std::string narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

void log(const std::string& function, const std::wstring& a = L"", const std::wstring& b = L"",
         const std::string& extra = "") {
  // Appended piece by piece: GCC 12 at -O3 warns falsely on `" " + text`.
  std::string line = function;
  if (!a.empty()) line.append(" ").append(narrow(a));
  if (!b.empty()) line.append(" ").append(narrow(b));
  if (!extra.empty()) line.append(" ").append(extra);
  calls_.push_back(line);
}

bool failing(const std::string& function) {
  auto it = failures_.find(function);
  if (it == failures_.end() || it->second.times == 0) return false;
  if (it->second.after > 0) {
    --it->second.after;
    return false;
  }
  --it->second.times;
  lastError_ = it->second.error;
  return true;
}

BOOL fail(DWORD error) {
  lastError_ = error;
  return 0;
}

// The path as the file system sees it, or "" with the error set when Windows
// would not take it: plain paths end at MAX_PATH - 1 characters.
std::wstring resolve(const std::wstring& name) {
  static const std::wstring kExtended = L"\\\\?\\";
  if (name.rfind(kExtended, 0) == 0) return name.substr(kExtended.size());
  if (name.size() >= MAX_PATH) {
    lastError_ = ERROR_PATH_NOT_FOUND;
    return L"";
  }
  return name;
}

bool folderExists(const std::wstring& path) {
  return folders_.count(path.substr(0, path.find_last_of(L'\\'))) != 0;
}

bool inUse(const std::wstring& path) {
  for (const auto& [handle, open] : open_) {
    if (open.path == path) return true;
  }
  return false;
}

Open* openOf(HANDLE handle) {
  auto it = open_.find(reinterpret_cast<intptr_t>(handle));
  return it == open_.end() ? nullptr : &it->second;
}

}  // namespace

void reset(const std::vector<std::wstring>& folders) {
  folders_ = {folders.begin(), folders.end()};
  files_.clear();
  open_.clear();
  calls_.clear();
  failures_.clear();
  administrator_ = false;
}

std::map<std::wstring, File>& files() {
  return files_;
}

void addFile(const std::wstring& path, std::vector<uint8_t> bytes, DWORD attributes) {
  File& file = files_[path];
  file.durable = bytes;
  file.bytes = std::move(bytes);
  file.attributes = attributes;
  file.id = nextId_++;
}

const std::vector<std::string>& calls() {
  return calls_;
}

void failNext(const std::string& function, DWORD error, int times, int after) {
  failures_[function] = {error, times, after};
}

void setAdministrator(bool on) {
  administrator_ = on;
}

}  // namespace fakewin

using namespace fakewin;

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD, SECURITY_ATTRIBUTES*, DWORD disposition,
                   DWORD, HANDLE) {
  log("CreateFileW", name);
  if (failing("CreateFileW")) return INVALID_HANDLE_VALUE;
  const std::wstring path = resolve(name);
  if (path.empty()) return INVALID_HANDLE_VALUE;
  if (!folderExists(path)) return fail(ERROR_PATH_NOT_FOUND), INVALID_HANDLE_VALUE;
  auto it = files_.find(path);
  if (disposition == CREATE_NEW) {
    if (it != files_.end()) return fail(ERROR_FILE_EXISTS), INVALID_HANDLE_VALUE;
    addFile(path, {}, FILE_ATTRIBUTE_ARCHIVE);
  } else {
    if (it == files_.end()) return fail(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE;
    if (inUse(path)) return fail(ERROR_SHARING_VIOLATION), INVALID_HANDLE_VALUE;
    if ((access & GENERIC_WRITE) && (it->second.attributes & FILE_ATTRIBUTE_READONLY) &&
        !administrator_) {
      return fail(ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE;
    }
  }
  const intptr_t handle = nextHandle_++;
  open_[handle] = {path, (access & GENERIC_WRITE) != 0, 0};
  return reinterpret_cast<HANDLE>(handle);
}

BOOL ReadFile(HANDLE handle, LPVOID data, DWORD size, LPDWORD got, OVERLAPPED*) {
  log("ReadFile");
  Open* open = openOf(handle);
  if (!open) return fail(ERROR_INVALID_FUNCTION);
  if (failing("ReadFile")) return 0;
  const auto& bytes = files_[open->path].bytes;
  const size_t n = std::min<size_t>(size, bytes.size() - std::min(bytes.size(), open->position));
  if (n) std::memcpy(data, bytes.data() + open->position, n);
  open->position += n;
  *got = static_cast<DWORD>(n);
  return 1;
}

BOOL WriteFile(HANDLE handle, LPCVOID data, DWORD size, LPDWORD put, OVERLAPPED*) {
  log("WriteFile");
  Open* open = openOf(handle);
  if (!open || !open->writing) return fail(ERROR_ACCESS_DENIED);
  if (failing("WriteFile")) return 0;
  auto& bytes = files_[open->path].bytes;
  const auto* from = static_cast<const uint8_t*>(data);
  bytes.resize(std::max(bytes.size(), open->position + size));
  std::copy(from, from + size, bytes.begin() + static_cast<ptrdiff_t>(open->position));
  open->position += size;
  *put = size;
  return 1;
}

BOOL SetFilePointerEx(HANDLE handle, LARGE_INTEGER distance, LARGE_INTEGER* newPosition,
                      DWORD method) {
  log("SetFilePointerEx");
  Open* open = openOf(handle);
  if (!open || method != FILE_BEGIN || distance.QuadPart < 0) return fail(ERROR_INVALID_FUNCTION);
  open->position = static_cast<size_t>(distance.QuadPart);
  if (newPosition) newPosition->QuadPart = distance.QuadPart;
  return 1;
}

BOOL FlushFileBuffers(HANDLE handle) {
  log("FlushFileBuffers");
  Open* open = openOf(handle);
  if (!open || !open->writing) return fail(ERROR_ACCESS_DENIED);
  if (failing("FlushFileBuffers")) return 0;
  File& file = files_[open->path];
  file.durable = file.bytes;
  return 1;
}

BOOL CloseHandle(HANDLE handle) {
  log("CloseHandle");
  if (!openOf(handle)) return fail(ERROR_INVALID_FUNCTION);
  open_.erase(reinterpret_cast<intptr_t>(handle));
  return failing("CloseHandle") ? 0 : 1;
}

DWORD GetFileAttributesW(LPCWSTR name) {
  log("GetFileAttributesW", name);
  const std::wstring path = resolve(name);
  if (path.empty()) return INVALID_FILE_ATTRIBUTES;
  if (folders_.count(path)) return FILE_ATTRIBUTE_DIRECTORY;
  if (!folderExists(path)) return fail(ERROR_PATH_NOT_FOUND), INVALID_FILE_ATTRIBUTES;
  auto it = files_.find(path);
  if (it == files_.end()) return fail(ERROR_FILE_NOT_FOUND), INVALID_FILE_ATTRIBUTES;
  return it->second.attributes;
}

DWORD GetFullPathNameW(LPCWSTR name, DWORD size, LPWSTR buffer, LPWSTR*) {
  // Every path in these tests is absolute already.
  const std::wstring path = name;
  if (size <= path.size()) return static_cast<DWORD>(path.size() + 1);
  std::copy(path.begin(), path.end(), buffer);
  buffer[path.size()] = L'\0';
  return static_cast<DWORD>(path.size());
}

BOOL ReplaceFileW(LPCWSTR replaced, LPCWSTR replacement, LPCWSTR backup, DWORD flags, LPVOID,
                  LPVOID) {
  log("ReplaceFileW", replaced, replacement, std::to_string(flags));
  const std::wstring to = resolve(replaced);
  const std::wstring from = resolve(replacement);
  if (to.empty() || from.empty() || backup) return fail(ERROR_INVALID_NAME);
  auto target = files_.find(to);
  auto source = files_.find(from);
  if (failing("ReplaceFileW")) {
    if (target == files_.end() || source == files_.end()) return 0;
    // What the documentation says is left behind when no backup name is given.
    if (lastError_ == ERROR_UNABLE_TO_MOVE_REPLACEMENT) {
      // The replaced file is gone; the new one waits under its own name.
      files_.erase(target);
    } else if (lastError_ == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
      // The replaced file lives on under a name the system chose; the new one
      // has taken its attributes and still waits under its own name.
      source->second.attributes = target->second.attributes;
      File displaced = target->second;
      files_.erase(target);
      files_[to.substr(0, to.find_last_of(L'\\')) + L"\\~rf" + std::to_wstring(displaced.id) +
             L".tmp"] = std::move(displaced);
    }
    return 0;
  }
  if (target == files_.end() || source == files_.end()) return fail(ERROR_FILE_NOT_FOUND);
  if (target->second.attributes & FILE_ATTRIBUTE_READONLY) return fail(ERROR_ACCESS_DENIED);
  if (inUse(to) || inUse(from)) return fail(ERROR_SHARING_VIOLATION);
  // The replaced file keeps its identity and attributes and takes the new bytes.
  target->second.bytes = source->second.bytes;
  target->second.durable = source->second.durable;
  files_.erase(source);
  return 1;
}

BOOL MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
  log("MoveFileExW", from, to, std::to_string(flags));
  if (failing("MoveFileExW")) return 0;
  const std::wstring source = resolve(from);
  const std::wstring target = resolve(to);
  if (source.empty() || target.empty()) return 0;
  auto it = files_.find(source);
  if (it == files_.end()) return fail(ERROR_FILE_NOT_FOUND);
  if (!folderExists(target)) return fail(ERROR_PATH_NOT_FOUND);
  if (inUse(source) || inUse(target)) return fail(ERROR_SHARING_VIOLATION);
  if (files_.count(target) && !(flags & MOVEFILE_REPLACE_EXISTING)) {
    return fail(ERROR_ALREADY_EXISTS);
  }
  File moved = it->second;
  files_.erase(it);
  files_[target] = std::move(moved);
  return 1;
}

BOOL DeleteFileW(LPCWSTR name) {
  log("DeleteFileW", name);
  const std::wstring path = resolve(name);
  if (path.empty()) return 0;
  if (!files_.erase(path)) return fail(ERROR_FILE_NOT_FOUND);
  return 1;
}

void Sleep(DWORD milliseconds) {
  log("Sleep", L"", L"", std::to_string(milliseconds));
}

DWORD GetLastError() {
  return lastError_;
}

void SetLastError(DWORD error) {
  lastError_ = error;
}
