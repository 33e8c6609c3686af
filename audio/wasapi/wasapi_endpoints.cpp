#include "audio/wasapi/wasapi_endpoints.h"

#include "audio/audio_result.h"

namespace {

std::wstring friendlyName(IMMDevice* device) {
  std::wstring name;
  IPropertyStore* store = nullptr;
  if (FAILED(device->OpenPropertyStore(STGM_READ, &store))) return name;
  PROPVARIANT value;
  PropVariantInit(&value);
  if (SUCCEEDED(store->GetValue(PKEY_Device_FriendlyName, &value)) && value.vt == VT_LPWSTR &&
      value.pwszVal != nullptr) {
    name = value.pwszVal;
  }
  PropVariantClear(&value);
  store->Release();
  return name;
}

}  // namespace

int32_t listWasapiEndpoints(EDataFlow flow, std::vector<WasapiEndpoint>& endpoints) {
  endpoints.clear();
  IMMDeviceEnumerator* enumerator = nullptr;
  if (FAILED(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                              IID_IMMDeviceEnumerator, reinterpret_cast<void**>(&enumerator)))) {
    return AudioNoDriver;
  }
  IMMDeviceCollection* devices = nullptr;
  UINT count = 0;
  if (FAILED(enumerator->EnumAudioEndpoints(flow, DEVICE_STATE_ACTIVE, &devices))) {
    enumerator->Release();
    return AudioNoDriver;
  }
  if (FAILED(devices->GetCount(&count))) count = 0;
  for (UINT i = 0; i < count; ++i) {
    IMMDevice* device = nullptr;
    if (FAILED(devices->Item(i, &device))) continue;
    LPWSTR id = nullptr;
    if (SUCCEEDED(device->GetId(&id)) && id != nullptr) {
      WasapiEndpoint endpoint{id, friendlyName(device)};
      if (endpoint.name.empty()) endpoint.name = endpoint.id;
      endpoints.push_back(std::move(endpoint));
    }
    CoTaskMemFree(id);
    device->Release();
  }
  devices->Release();
  enumerator->Release();
  return AudioOk;
}

std::wstring defaultWasapiEndpointId(EDataFlow flow) {
  std::wstring id;
  IMMDeviceEnumerator* enumerator = nullptr;
  if (FAILED(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                              IID_IMMDeviceEnumerator, reinterpret_cast<void**>(&enumerator)))) {
    return id;
  }
  IMMDevice* device = nullptr;
  // The role the route opens its default endpoint with.
  if (SUCCEEDED(enumerator->GetDefaultAudioEndpoint(flow, eConsole, &device))) {
    LPWSTR text = nullptr;
    if (SUCCEEDED(device->GetId(&text)) && text != nullptr) id = text;
    CoTaskMemFree(text);
    device->Release();
  }
  enumerator->Release();
  return id;
}

int32_t WasapiEndpointWatch::open() {
  close();
  if (FAILED(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                              IID_IMMDeviceEnumerator, reinterpret_cast<void**>(&enumerator_)))) {
    enumerator_ = nullptr;
    return AudioNoDriver;
  }
  if (FAILED(enumerator_->RegisterEndpointNotificationCallback(this))) {
    close();
    return AudioNotificationFailed;
  }
  return AudioOk;
}

void WasapiEndpointWatch::close() {
  if (enumerator_ == nullptr) return;
  // Unregistering waits for a callback under way, so none comes after this.
  enumerator_->UnregisterEndpointNotificationCallback(this);
  enumerator_->Release();
  enumerator_ = nullptr;
}

HRESULT STDMETHODCALLTYPE WasapiEndpointWatch::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IMMNotificationClient) {
    *object = static_cast<IMMNotificationClient*>(this);
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

HRESULT STDMETHODCALLTYPE WasapiEndpointWatch::OnDeviceStateChanged(LPCWSTR, DWORD) {
  devicesChanged_.store(true, std::memory_order_relaxed);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE WasapiEndpointWatch::OnDeviceAdded(LPCWSTR) {
  devicesChanged_.store(true, std::memory_order_relaxed);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE WasapiEndpointWatch::OnDeviceRemoved(LPCWSTR) {
  devicesChanged_.store(true, std::memory_order_relaxed);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE WasapiEndpointWatch::OnDefaultDeviceChanged(EDataFlow, ERole, LPCWSTR) {
  defaultChanged_.store(true, std::memory_order_relaxed);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE WasapiEndpointWatch::OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) {
  return S_OK;
}
