// The WASAPI endpoints the window can offer, by friendly name, and a watch that notes
// when the default endpoint changes or an endpoint comes, goes or changes state. The
// watch's callbacks come on a thread of the audio service: they only raise flags,
// which the window's timer takes.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

struct WasapiEndpoint {
  std::wstring id;    // for WasapiOpenOptions
  std::wstring name;  // PKEY_Device_FriendlyName (the id when it has none)
};

// The active endpoints of `flow` (eRender or eCapture) in the service's order; the
// caller's thread has COM initialised. AudioOk, or AudioNoDriver with `endpoints` empty.
int32_t listWasapiEndpoints(EDataFlow flow, std::vector<WasapiEndpoint>& endpoints);
// The id of the endpoint a route on the default device of `flow` plays on now; empty
// when there is none. COM initialised on the caller's thread.
std::wstring defaultWasapiEndpointId(EDataFlow flow);

// A COM object by necessity (the service calls it through IMMNotificationClient), but
// owned by its owner alone: reference counting never deletes it, and close must come
// before it is destroyed.
class WasapiEndpointWatch final : public IMMNotificationClient {
 public:
  WasapiEndpointWatch() = default;
  ~WasapiEndpointWatch() { close(); }
  WasapiEndpointWatch(const WasapiEndpointWatch&) = delete;
  WasapiEndpointWatch& operator=(const WasapiEndpointWatch&) = delete;

  // Registers with the endpoint enumerator (COM initialised on the caller's thread).
  int32_t open();
  void close();
  bool isOpen() const { return enumerator_ != nullptr; }
  // True once for every run of changes since the last take.
  bool takeDefaultChanged() { return defaultChanged_.exchange(false, std::memory_order_relaxed); }
  bool takeDevicesChanged() { return devicesChanged_.exchange(false, std::memory_order_relaxed); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR id, DWORD state) override;
  HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR id) override;
  HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR id) override;
  HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role, LPCWSTR id) override;
  HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR id, const PROPERTYKEY key) override;

 private:
  IMMDeviceEnumerator* enumerator_ = nullptr;
  std::atomic<bool> defaultChanged_{false};
  std::atomic<bool> devicesChanged_{false};
};
