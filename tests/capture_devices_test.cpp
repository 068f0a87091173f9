// Drives list_capture_devices against a scripted system device enumerator,
// registered in this process in place of the platform's, to reach what a
// broken driver can do and a registry cannot: a bind or a Next that fails, a
// name that is no string. Every reference the fake hands out is counted, and
// each scenario ends with all of them given back exactly once.

#include "devices/capture_devices.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <windows.h>
#include <dshow.h>

#include <gtest/gtest.h>

namespace {

// What one property read of a device gives.
enum class Value {
  kString,       // a BSTR holding |text|
  kNullString,   // VT_BSTR with a null BSTR: the empty string
  kNumber,       // VT_I4
  kObject,       // VT_UNKNOWN: a value that owns a reference
  kReadFails,    // Read answers E_FAIL
};

struct FakeProperty {
  const wchar_t* name;
  Value value;
  const wchar_t* text = L"";
};

struct FakeDevice {
  std::vector<FakeProperty> properties;
  bool bind_fails = false;
};

struct Script {
  HRESULT create = S_OK;            // the class factory's answer
  HRESULT class_enumerator = S_OK;  // S_FALSE and errors hand over nothing
  std::vector<FakeDevice> devices;
  // Next answers |next_failure| instead of handing over this device; S_OK
  // there means success with no moniker.
  std::size_t next_fails_at = SIZE_MAX;
  HRESULT next_failure = E_FAIL;
};

// References handed to the code under test, and releases of references it
// no longer had.
struct Ledger {
  long outstanding = 0;
  long over_released = 0;
};

Ledger ledger;

template <typename Interface>
class Counted : public Interface {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid != IID_IUnknown && iid != __uuidof(Interface)) {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    *out = static_cast<Interface*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    ++ledger.outstanding;
    return ++count_;
  }
  ULONG STDMETHODCALLTYPE Release() override {
    if (count_ == 0) {
      ++ledger.over_released;
      return 0;
    }
    --ledger.outstanding;
    return --count_;
  }

 private:
  ULONG count_ = 0;
};

// Makes a fake object and hands over its first reference. Fakes are never
// freed, so that a release too many is counted instead of touching freed
// memory; a test process makes a few dozen.
template <typename Fake, typename... Args>
Fake* hand_over(Args&&... args) {
  Fake* fake = new Fake(std::forward<Args>(args)...);
  fake->AddRef();
  return fake;
}

// A method of an interface that the walk never calls.
#define NOT_ASKED(method, ...) \
  HRESULT STDMETHODCALLTYPE method(__VA_ARGS__) override { return E_NOTIMPL; }

class FakeObject : public Counted<IUnknown> {};

class FakePropertyBag : public Counted<IPropertyBag> {
 public:
  explicit FakePropertyBag(const FakeDevice& device) : device_(device) {}

  HRESULT STDMETHODCALLTYPE Read(LPCOLESTR name, VARIANT* value,
                                 IErrorLog*) override {
    // Like the platform's bag, which converts to the type already in the
    // value and fails when it cannot.
    if (value->vt != VT_EMPTY)
      return E_INVALIDARG;
    for (const FakeProperty& property : device_.properties) {
      if (wcscmp(property.name, name) != 0)
        continue;
      switch (property.value) {
        case Value::kString:
          value->vt = VT_BSTR;
          value->bstrVal = SysAllocString(property.text);
          return S_OK;
        case Value::kNullString:
          value->vt = VT_BSTR;
          value->bstrVal = nullptr;
          return S_OK;
        case Value::kNumber:
          value->vt = VT_I4;
          value->lVal = 0x41414141;
          return S_OK;
        case Value::kObject:
          value->vt = VT_UNKNOWN;
          value->punkVal = hand_over<FakeObject>();
          return S_OK;
        case Value::kReadFails:
          return E_FAIL;
      }
    }
    return E_INVALIDARG;
  }
  NOT_ASKED(Write, LPCOLESTR, VARIANT*)

 private:
  const FakeDevice& device_;
};

class FakeMoniker : public Counted<IMoniker> {
 public:
  explicit FakeMoniker(const FakeDevice& device) : device_(device) {}

  HRESULT STDMETHODCALLTYPE BindToStorage(IBindCtx*, IMoniker*, REFIID iid,
                                          void** out) override {
    *out = nullptr;
    if (device_.bind_fails || iid != IID_IPropertyBag)
      return E_FAIL;
    *out = static_cast<IPropertyBag*>(hand_over<FakePropertyBag>(device_));
    return S_OK;
  }

  // Nothing else of a moniker is asked for.
  NOT_ASKED(GetClassID, CLSID*)
  NOT_ASKED(IsDirty)
  NOT_ASKED(Load, IStream*)
  NOT_ASKED(Save, IStream*, BOOL)
  NOT_ASKED(GetSizeMax, ULARGE_INTEGER*)
  NOT_ASKED(BindToObject, IBindCtx*, IMoniker*, REFIID, void**)
  NOT_ASKED(Reduce, IBindCtx*, DWORD, IMoniker**, IMoniker**)
  NOT_ASKED(ComposeWith, IMoniker*, BOOL, IMoniker**)
  NOT_ASKED(Enum, BOOL, IEnumMoniker**)
  NOT_ASKED(IsEqual, IMoniker*)
  NOT_ASKED(Hash, DWORD*)
  NOT_ASKED(IsRunning, IBindCtx*, IMoniker*, IMoniker*)
  NOT_ASKED(GetTimeOfLastChange, IBindCtx*, IMoniker*, FILETIME*)
  NOT_ASKED(Inverse, IMoniker**)
  NOT_ASKED(CommonPrefixWith, IMoniker*, IMoniker**)
  NOT_ASKED(RelativePathTo, IMoniker*, IMoniker**)
  NOT_ASKED(GetDisplayName, IBindCtx*, IMoniker*, LPOLESTR*)
  NOT_ASKED(ParseDisplayName, IBindCtx*, IMoniker*, LPOLESTR, ULONG*, IMoniker**)
  NOT_ASKED(IsSystemMoniker, DWORD*)

 private:
  const FakeDevice& device_;
};

class FakeEnumMoniker : public Counted<IEnumMoniker> {
 public:
  explicit FakeEnumMoniker(const Script& script) : script_(script) {}

  HRESULT STDMETHODCALLTYPE Next(ULONG count, IMoniker** out,
                                 ULONG* fetched) override {
    if (fetched)
      *fetched = 0;
    if (count != 1)
      return E_INVALIDARG;
    *out = nullptr;
    if (next_ == script_.next_fails_at)
      return script_.next_failure;
    if (next_ == script_.devices.size())
      return S_FALSE;
    *out = hand_over<FakeMoniker>(script_.devices[next_++]);
    if (fetched)
      *fetched = 1;
    return S_OK;
  }
  NOT_ASKED(Skip, ULONG)
  NOT_ASKED(Reset)
  NOT_ASKED(Clone, IEnumMoniker**)

 private:
  const Script& script_;
  std::size_t next_ = 0;
};

class FakeDeviceEnumerator : public Counted<ICreateDevEnum> {
 public:
  explicit FakeDeviceEnumerator(const Script& script) : script_(script) {}

  HRESULT STDMETHODCALLTYPE CreateClassEnumerator(REFCLSID category,
                                                  IEnumMoniker** out,
                                                  DWORD) override {
    *out = nullptr;
    if (category != CLSID_VideoInputDeviceCategory)
      return E_INVALIDARG;
    if (script_.class_enumerator == S_OK)
      *out = hand_over<FakeEnumMoniker>(script_);
    return script_.class_enumerator;
  }

 private:
  const Script& script_;
};

// Stands in for the system device enumerator's class object. COM holds it
// while it is registered; it is not one of the references being counted.
class Factory : public IClassFactory {
 public:
  explicit Factory(const Script& script) : script_(script) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid != IID_IUnknown && iid != IID_IClassFactory) {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    *out = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid,
                                           void** out) override {
    *out = nullptr;
    if (outer)
      return CLASS_E_NOAGGREGATION;
    if (FAILED(script_.create))
      return script_.create;
    FakeDeviceEnumerator* created = hand_over<FakeDeviceEnumerator>(script_);
    const HRESULT result = created->QueryInterface(iid, out);
    created->Release();
    return result;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  const Script& script_;
};

struct Scenario {
  const char* what;
  Script script;
  std::vector<std::string> listed;
  std::vector<std::string> before = {};
};

void PrintTo(const Scenario& s, std::ostream* out) { *out << s.what; }

FakeDevice named(const wchar_t* friendly_name) {
  return {{{L"FriendlyName", Value::kString, friendly_name}}};
}

FakeDevice described(Value friendly_name, const wchar_t* description) {
  return {{{L"FriendlyName", friendly_name},
           {L"Description", Value::kString, description}}};
}

FakeDevice unnamed(Value friendly_name, Value description) {
  return {{{L"FriendlyName", friendly_name}, {L"Description", description}}};
}

class ListCaptureDevices : public testing::TestWithParam<Scenario> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    ledger = {};
  }
  void TearDown() override { CoUninitialize(); }
};

TEST_P(ListCaptureDevices, ListsReadableNamesAndReleasesAll) {
  const Scenario& scenario = GetParam();
  Factory factory(scenario.script);
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(CLSID_SystemDeviceEnum, &factory,
                                  CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                  &cookie),
            S_OK);

  std::vector<std::string> names = scenario.before;
  list_capture_devices(names);
  CoRevokeClassObject(cookie);

  std::vector<std::string> expected = scenario.before;
  expected.insert(expected.end(), scenario.listed.begin(),
                  scenario.listed.end());
  EXPECT_EQ(names, expected);
  EXPECT_EQ(ledger.outstanding, 0) << "references kept";
  EXPECT_EQ(ledger.over_released, 0) << "references released twice";
  // Left initialised by the walk, the apartment would still be there.
  CoUninitialize();
  EXPECT_EQ(CoInitialize(nullptr), S_OK) << "COM initialised once too often";
}

const std::vector<FakeDevice> kThree = {named(L"A"), named(L"B"),
                                        named(L"C")};

INSTANTIATE_TEST_SUITE_P(
    ScriptedEnumerator, ListCaptureDevices,
    testing::Values(
        Scenario{"Devices", {S_OK, S_OK, kThree}, {"A", "B", "C"}},
        Scenario{"EntriesAlreadyListedStayInFront",
                 {S_OK, S_OK, kThree},
                 {"A", "B", "C"},
                 {"earlier", "also earlier"}},
        Scenario{"EnumeratorCannotBeCreated",
                 {REGDB_E_CLASSNOTREG, S_OK, kThree}, {}, {"earlier"}},
        Scenario{"EmptyCategory", {S_OK, S_FALSE, kThree}, {}, {"earlier"}},
        Scenario{"ClassEnumeratorFails", {S_OK, E_OUTOFMEMORY, kThree}, {},
                 {"earlier"}},
        Scenario{"NextFailsAfterTwo", {S_OK, S_OK, kThree, 2}, {"A", "B"}},
        Scenario{"NextFailsAtOnce", {S_OK, S_OK, kThree, 0}, {}},
        Scenario{"NextSucceedsWithoutAMoniker", {S_OK, S_OK, kThree, 1, S_OK},
                 {"A"}},
        Scenario{"BindFails",
                 {S_OK, S_OK, {named(L"A"), {{}, true}, named(L"C")}},
                 {"A", "C"}},
        Scenario{"FriendlyNameReadFails",
                 {S_OK, S_OK, {described(Value::kReadFails, L"Desc")}},
                 {"Desc"}},
        Scenario{"BothReadsFail",
                 {S_OK, S_OK,
                  {unnamed(Value::kReadFails, Value::kReadFails),
                   named(L"Next")}},
                 {"Next"}},
        Scenario{"FriendlyNameIsAnObject",
                 {S_OK, S_OK, {described(Value::kObject, L"Desc")}},
                 {"Desc"}},
        Scenario{"BothAreObjects",
                 {S_OK, S_OK,
                  {unnamed(Value::kObject, Value::kObject), named(L"Next")}},
                 {"Next"}},
        Scenario{"FriendlyNameIsANumber",
                 {S_OK, S_OK, {described(Value::kNumber, L"Desc")}},
                 {"Desc"}},
        Scenario{"NullString",
                 {S_OK, S_OK,
                  {described(Value::kNullString, L"Desc"), named(L"Next")}},
                 {"", "Next"}}),
    [](const testing::TestParamInfo<Scenario>& info) {
      return std::string(info.param.what);
    });

}  // namespace
