// A recording fake of the few kernel32 file calls the Windows file access makes,
// so that it can be tested natively: an in-memory file system whose files know
// which of their bytes a flush has made durable, a log of the calls, and
// failures on demand.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

using BOOL = int;
using DWORD = uint32_t;
using WCHAR = wchar_t;
using HANDLE = void*;
using LPCWSTR = const wchar_t*;
using LPWSTR = wchar_t*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPDWORD = DWORD*;
struct SECURITY_ATTRIBUTES;
struct OVERLAPPED;
struct LARGE_INTEGER {
  long long QuadPart;
};

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#define INVALID_FILE_ATTRIBUTES (static_cast<DWORD>(-1))
constexpr DWORD MAX_PATH = 260;
constexpr DWORD MAXDWORD = 0xFFFFFFFFu;
constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x1;
constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x2;
constexpr DWORD FILE_ATTRIBUTE_SYSTEM = 0x4;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;
constexpr DWORD MOVEFILE_WRITE_THROUGH = 0x8;
constexpr DWORD REPLACEFILE_IGNORE_MERGE_ERRORS = 0x2;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_FILE_EXISTS = 80;
constexpr DWORD ERROR_DISK_FULL = 112;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_UNABLE_TO_REMOVE_REPLACED = 1175;
constexpr DWORD ERROR_UNABLE_TO_MOVE_REPLACEMENT = 1176;
constexpr DWORD ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 = 1177;

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security,
                   DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL ReadFile(HANDLE file, LPVOID data, DWORD size, LPDWORD got, OVERLAPPED* overlapped);
BOOL WriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD put, OVERLAPPED* overlapped);
BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, LARGE_INTEGER* newPosition,
                      DWORD method);
BOOL FlushFileBuffers(HANDLE file);
BOOL CloseHandle(HANDLE handle);
DWORD GetFileAttributesW(LPCWSTR name);
DWORD GetFullPathNameW(LPCWSTR name, DWORD size, LPWSTR buffer, LPWSTR* filePart);
BOOL ReplaceFileW(LPCWSTR replaced, LPCWSTR replacement, LPCWSTR backup, DWORD flags,
                  LPVOID exclude, LPVOID reserved);
BOOL MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags);
BOOL DeleteFileW(LPCWSTR name);
// Returns at once; the call is logged with its duration.
void Sleep(DWORD milliseconds);
DWORD GetLastError();
void SetLastError(DWORD error);

namespace fakewin {

struct File {
  std::vector<uint8_t> bytes;
  // What would survive a power loss: the bytes as of the last flush.
  std::vector<uint8_t> durable;
  DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
  int id = 0;  // identity: kept by a replace, not by a move
};

// Resets the file system to the folders given (no files), the log and failures.
void reset(const std::vector<std::wstring>& folders);
// Files by path without the extended-length prefix.
std::map<std::wstring, File>& files();
void addFile(const std::wstring& path, std::vector<uint8_t> bytes, DWORD attributes);
// One line per call: the function's name and its path arguments, and for the
// moves and replaces their flags ("MoveFileExW from to 9").
const std::vector<std::string>& calls();
// After `after` more calls that succeed, `function` fails with `error` `times` times.
// A failing ReplaceFileW leaves the files as its documentation says for that error.
void failNext(const std::string& function, DWORD error, int times = 1, int after = 0);
// Like an administrator, open read-only files for writing.
void setAdministrator(bool on);

}  // namespace fakewin
