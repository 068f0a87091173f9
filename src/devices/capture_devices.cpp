#include "devices/capture_devices.h"

#include <optional>
#include <utility>

#include <windows.h>
#include <dshow.h>
#include <wrl/client.h>

#include "devices/device_name.h"

using Microsoft::WRL::ComPtr;

namespace {

// Reads one name property of a device. Only a string counts: drivers have
// been seen storing numbers and blobs under these names, and such a value is
// treated like a property that is not there. A string whose BSTR is null is
// the empty string, as everywhere in COM.
std::optional<std::string> read_device_name(IPropertyBag* bag,
                                            const wchar_t* property) {
  VARIANT value;
  VariantInit(&value);
  std::optional<std::string> name;
  if (SUCCEEDED(bag->Read(property, &value, nullptr)) && value.vt == VT_BSTR)
    name = narrow_device_name(value.bstrVal ? value.bstrVal : L"");
  // Frees the string or whatever else the read left behind. A value that is
  // not cleared leaks, and the property bag refuses to read the next property
  // into a value that still holds one of another type.
  VariantClear(&value);
  return name;
}

void walk_devices(IEnumMoniker* monikers, std::vector<std::string>& names) {
  for (;;) {
    ComPtr<IMoniker> moniker;
    // An enumerator that claims success without a moniker is broken: asking
    // it again could go on for ever, so the walk ends there too.
    if (monikers->Next(1, &moniker, nullptr) != S_OK || !moniker)
      return;
    // Declared after the moniker so that it is released before it.
    ComPtr<IPropertyBag> bag;
    if (FAILED(moniker->BindToStorage(nullptr, nullptr, IID_PPV_ARGS(&bag))) ||
        !bag)
      continue;
    std::optional<std::string> name =
        read_device_name(bag.Get(), L"FriendlyName");
    if (!name)
      name = read_device_name(bag.Get(), L"Description");
    if (name)
      names.push_back(std::move(*name));
  }
}

}  // namespace

void list_capture_devices(std::vector<std::string>& names) {
  const HRESULT initialized = CoInitialize(nullptr);
  {
    ComPtr<ICreateDevEnum> device_enumerator;
    ComPtr<IEnumMoniker> monikers;
    if (SUCCEEDED(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr,
                                   CLSCTX_INPROC_SERVER,
                                   IID_PPV_ARGS(&device_enumerator))) &&
        device_enumerator &&
        device_enumerator->CreateClassEnumerator(
            CLSID_VideoInputDeviceCategory, &monikers, 0) == S_OK &&
        monikers) {
      walk_devices(monikers.Get(), names);
    }
    // The device enumerator goes first, then the category's enumerator.
    device_enumerator.Reset();
    monikers.Reset();
  }
  // Only once every reference is back may the runtime be shut down.
  if (SUCCEEDED(initialized))
    CoUninitialize();
}
