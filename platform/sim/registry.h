// Simulated registry (advapi32), file existence (OpenFile) and the string helpers the
// ASIO driver list uses. Keys and value names compare without regard to case, as on
// Windows, and subkeys enumerate in case-insensitive name order. Values keep their type
// and bytes; strings are held as WCHAR units, as Windows holds them in UTF-16, and the
// A functions convert them through the simulated code page (Latin-1).
#pragma once

#include <string>
#include <vector>

#include "platform/sim/base.h"

typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef DWORD REGSAM;
typedef int HFILE;

#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000000u)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000001u)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000002u)))

#define KEY_QUERY_VALUE 0x0001u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_SET_VALUE 0x0002u
#define KEY_READ 0x20019u
#define KEY_WRITE 0x20006u
#define REG_OPTION_NON_VOLATILE 0u
#define REG_CREATED_NEW_KEY 1u
#define REG_OPENED_EXISTING_KEY 2u
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define ERROR_ACCESS_DENIED 5L

#define HFILE_ERROR (-1)
#define OFS_MAXPATHNAME 128
#define OF_EXIST 0x00004000u

typedef struct _OFSTRUCT {
  BYTE cBytes;
  BYTE fFixedDisk;
  WORD nErrCode;
  WORD Reserved1;
  WORD Reserved2;
  CHAR szPathName[OFS_MAXPATHNAME];
} OFSTRUCT, *LPOFSTRUCT;

#define CP_ACP 0u
#define ERROR_INSUFFICIENT_BUFFER 122L

LONG RegOpenKeyA(HKEY key, LPCSTR subKey, PHKEY result);
LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result);
LONG RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD nameSize);
LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD dataSize);
LONG RegCloseKey(HKEY key);
// Replaces every %NAME% of a simulated environment variable (names without regard to
// case); other text, unknown names and a lone % stay. Returns the characters needed
// including the NUL; the text is written only when that many fit.
DWORD ExpandEnvironmentStringsA(LPCSTR source, LPSTR destination, DWORD size);

LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result);
LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options,
                     REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result,
                     LPDWORD disposition);
LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD dataSize);
LONG RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD dataSize);

DWORD CharLowerBuffA(LPSTR text, DWORD length);
HFILE OpenFile(LPCSTR path, LPOFSTRUCT info, UINT style);
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int textBytes, LPWSTR wide,
                        int wideChars);

namespace sim {

// Creates the key (and its parents); path components are separated by '\'.
void createRegistryKey(HKEY root, const std::string& path);
// Sets a string value, creating the key; an empty name is the key's default value.
void setRegistryString(HKEY root, const std::string& path, const std::string& name,
                       const std::string& value);
// Sets a value of any type to exactly these bytes as the A functions read them (a
// string needs its own NUL; string types are held as WCHAR units).
void setRegistryBytes(HKEY root, const std::string& path, const std::string& name, DWORD type,
                      const std::string& bytes);
// Sets or, with an empty value, removes a variable of the simulated environment.
void setEnvironmentString(const std::string& name, const std::string& value);
void deleteRegistryKey(HKEY root, const std::string& path);
// Sets a value of any type from its bytes, creating the key (string types: WCHAR units).
void setRegistryValue(HKEY root, const std::string& path, const std::string& name, DWORD type,
                      const std::vector<BYTE>& data);
// A value's type and bytes; false when the key or value does not exist.
bool registryValue(HKEY root, const std::string& path, const std::string& name, DWORD* type,
                   std::vector<BYTE>* data);
// While set, creating keys and setting values fail with ERROR_ACCESS_DENIED.
void failRegistryWrites(bool fail);

// Files that OpenFile finds (compared without regard to case).
void declareFile(const std::string& path);

// Keys opened and not yet closed: lets a test catch a leaked handle.
int openRegistryKeyCount();

// Empties the registry, the declared files and the simulated environment.
void resetRegistry();

}  // namespace sim
