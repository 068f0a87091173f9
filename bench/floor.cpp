// The least a device lister can do: the platform calls that list_capture_devices
// makes (create the enumerator, walk the category, bind each property bag,
// read the name, clear it, release everything) and nothing else. It keeps no
// list and writes nothing. bench/run.sh times the lister against it.

#include <windows.h>
#include <dshow.h>
#include <wrl/client.h>

using Microsoft::WRL::ComPtr;

int main() {
  const HRESULT initialized = CoInitialize(nullptr);
  {
    ComPtr<ICreateDevEnum> device_enumerator;
    ComPtr<IEnumMoniker> monikers;
    if (SUCCEEDED(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr,
                                   CLSCTX_INPROC_SERVER,
                                   IID_PPV_ARGS(&device_enumerator))) &&
        device_enumerator->CreateClassEnumerator(
            CLSID_VideoInputDeviceCategory, &monikers, 0) == S_OK) {
      ComPtr<IMoniker> moniker;
      while (monikers->Next(1, moniker.ReleaseAndGetAddressOf(), nullptr) ==
             S_OK) {
        ComPtr<IPropertyBag> bag;
        if (FAILED(moniker->BindToStorage(nullptr, nullptr,
                                          IID_PPV_ARGS(&bag))))
          continue;
        VARIANT value;
        VariantInit(&value);
        bag->Read(L"FriendlyName", &value, nullptr);
        VariantClear(&value);
      }
    }
  }
  if (SUCCEEDED(initialized))
    CoUninitialize();
  return 0;
}
