// The in-process COM server around the virtual driver: class factory, the four DLL
// exports and the registration an ASIO host looks for.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "tools/asio_driver/virtual_asio_driver.h"

#include <olectl.h>

namespace {

HMODULE thisModule = nullptr;
std::atomic<long> serverLocks{0};

class ClassFactory final : public IClassFactory {
 public:
  explicit ClassFactory(const CLSID& classId) : classId_(classId) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IClassFactory)) {
      *object = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  // The factory is a static object: its lifetime is the module's.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    auto* driver = new (std::nothrow) VirtualAsioDriver(classId_);
    if (driver == nullptr) return E_OUTOFMEMORY;
    const HRESULT result = driver->QueryInterface(iid, object);
    driver->Release();
    return result;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      ++serverLocks;
    } else {
      --serverLocks;
    }
    return S_OK;
  }

 private:
  const CLSID& classId_;
};

ClassFactory factory(CLSID_TonbrikVirtualAsio);
ClassFactory secondFactory(CLSID_TonbrikVirtualAsio2);

void classIdText(char* text, size_t size) {
  const CLSID& id = CLSID_TonbrikVirtualAsio;
  std::snprintf(text, size, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned long>(id.Data1), id.Data2, id.Data3, id.Data4[0], id.Data4[1],
                id.Data4[2], id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]);
}

bool setString(HKEY root, const char* path, const char* name, const char* value) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const LONG result = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                                     static_cast<DWORD>(std::strlen(value) + 1));
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  // Thread notifications stay on: the statically linked runtime needs them.
  if (reason == DLL_PROCESS_ATTACH) thisModule = instance;
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (IsEqualGUID(clsid, CLSID_TonbrikVirtualAsio)) return factory.QueryInterface(iid, object);
  if (IsEqualGUID(clsid, CLSID_TonbrikVirtualAsio2)) {
    return secondFactory.QueryInterface(iid, object);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() {
  return (liveDriverObjects == 0 && serverLocks == 0) ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(thisModule, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return SELFREG_E_CLASS;
  char id[40];
  classIdText(id, sizeof(id));
  char classKey[80];
  std::snprintf(classKey, sizeof(classKey), "CLSID\\%s", id);
  char serverKey[100];
  std::snprintf(serverKey, sizeof(serverKey), "CLSID\\%s\\InprocServer32", id);
  char asioKey[80];
  std::snprintf(asioKey, sizeof(asioKey), "SOFTWARE\\ASIO\\%s", kVirtualAsioName);
  const bool ok = setString(HKEY_CLASSES_ROOT, classKey, nullptr, kVirtualAsioName) &&
                  setString(HKEY_CLASSES_ROOT, serverKey, nullptr, path) &&
                  setString(HKEY_CLASSES_ROOT, serverKey, "ThreadingModel", "Apartment") &&
                  setString(HKEY_LOCAL_MACHINE, asioKey, "CLSID", id) &&
                  setString(HKEY_LOCAL_MACHINE, asioKey, "Description", kVirtualAsioName);
  return ok ? S_OK : SELFREG_E_CLASS;
}

STDAPI DllUnregisterServer() {
  char id[40];
  classIdText(id, sizeof(id));
  char classKey[80];
  std::snprintf(classKey, sizeof(classKey), "CLSID\\%s", id);
  char serverKey[100];
  std::snprintf(serverKey, sizeof(serverKey), "CLSID\\%s\\InprocServer32", id);
  char asioKey[80];
  std::snprintf(asioKey, sizeof(asioKey), "SOFTWARE\\ASIO\\%s", kVirtualAsioName);
  RegDeleteKeyA(HKEY_CLASSES_ROOT, serverKey);
  RegDeleteKeyA(HKEY_CLASSES_ROOT, classKey);
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, asioKey);
  return S_OK;
}
