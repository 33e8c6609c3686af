// Simulated registry (advapi32), file existence (OpenFile) and the string helpers the
// ASIO driver list uses. Keys and value names compare without regard to case, as on
// Windows, and subkeys enumerate in case-insensitive name order.
#pragma once

#include <string>

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
#define KEY_READ 0x20019u
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_DWORD 4u

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

DWORD CharLowerBuffA(LPSTR text, DWORD length);
HFILE OpenFile(LPCSTR path, LPOFSTRUCT info, UINT style);
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int textBytes, LPWSTR wide,
                        int wideChars);
// Replaces every %NAME% of a simulated environment variable (names without regard to
// case); other text, unknown names and a lone % stay. Returns the characters needed
// including the NUL; the text is written only when that many fit.
DWORD ExpandEnvironmentStringsA(LPCSTR source, LPSTR destination, DWORD size);

namespace sim {

// Creates the key (and its parents); path components are separated by '\'.
void createRegistryKey(HKEY root, const std::string& path);
// Sets a string value (REG_SZ, stored with its NUL), creating the key; an empty name
// is the key's default value.
void setRegistryString(HKEY root, const std::string& path, const std::string& name,
                       const std::string& value);
// Sets a value of any type to exactly these bytes (a string needs its own NUL).
void setRegistryValue(HKEY root, const std::string& path, const std::string& name, DWORD type,
                      const std::string& bytes);
// Sets or, with an empty value, removes a variable of the simulated environment.
void setEnvironmentString(const std::string& name, const std::string& value);
void deleteRegistryKey(HKEY root, const std::string& path);

// Files that OpenFile finds (compared without regard to case).
void declareFile(const std::string& path);

// Keys opened and not yet closed: lets a test catch a leaked handle.
int openRegistryKeyCount();

// Empties the registry, the declared files and the simulated environment.
void resetRegistry();

}  // namespace sim
