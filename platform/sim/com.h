// Simulated COM: GUIDs, IUnknown, apartment initialisation and in-process
// instantiation of classes that tests register by class id.
#pragma once

#include "platform/sim/base.h"

#include <cstring>
#include <functional>

typedef struct _GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID;
typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;
typedef GUID* LPGUID;
typedef CLSID* LPCLSID;
typedef wchar_t OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;

inline bool operator==(const GUID& a, const GUID& b) {
  return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}
inline bool operator!=(const GUID& a, const GUID& b) {
  return !(a == b);
}
inline BOOL IsEqualGUID(REFGUID a, REFGUID b) {
  return a == b ? TRUE : FALSE;
}
#define IsEqualIID(a, b) IsEqualGUID(a, b)
#define IsEqualCLSID(a, b) IsEqualGUID(a, b)

#define interface struct

struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;
};
typedef IUnknown* LPUNKNOWN;

extern const IID IID_IUnknown;

#define CLSCTX_INPROC_SERVER 0x1u
#define CLSCTX_INPROC_HANDLER 0x2u
#define CLSCTX_LOCAL_SERVER 0x4u
#define CLSCTX_INPROC (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER)
#define COINIT_APARTMENTTHREADED 0x2u
#define COINIT_MULTITHREADED 0x0u

HRESULT CoInitialize(LPVOID reserved);
HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit);
void CoUninitialize();
HRESULT CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid,
                         LPVOID* object);
HRESULT CLSIDFromString(LPCOLESTR text, LPCLSID clsid);

namespace sim {

// Creates an object of a registered class and answers QueryInterface for iid on it.
using ComFactory = std::function<HRESULT(REFIID iid, void** object)>;

void registerComClass(REFCLSID clsid, ComFactory factory);
void unregisterComClass(REFCLSID clsid);
void unregisterAllComClasses();

// CoInitialize calls minus CoUninitialize calls, across all threads.
int comInitializeBalance();
int coCreateInstanceCount();
void failCoInitialize(bool fail);

void resetCom();

// Parses "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}"; false on any other form.
bool guidFromString(const char* text, GUID* guid);

}  // namespace sim
