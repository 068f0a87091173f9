// Runs list-capture-devices.exe against the platform's real device enumerator
// with devices registered where Wine's enumerator looks for them, and compares
// what the program writes, byte for byte.
//
// These cases rewrite the video-input category in the registry, so they run
// under Wine, in the test run's own prefix, or on a machine given to them
// (TESTS_MAY_REWRITE_CAMERAS=1): elsewhere they would wipe its cameras' list.

#include <cstdint>
#include <string>
#include <vector>

#include <windows.h>

#include <gtest/gtest.h>

namespace {

const wchar_t kCategoryKey[] =
    L"CLSID\\{860BB310-5D01-11D0-BD3B-00A0C911CE86}";

// The x86-64 lister, and the x86 one that runs under WoW64: each sees the
// registry view of its own bitness.
struct Bitness {
  const wchar_t* exe;
  REGSAM view;
};
const Bitness kX64{L"list-capture-devices.exe", KEY_WOW64_64KEY};
const Bitness kX86{L"list-capture-devices-x86.exe", KEY_WOW64_32KEY};

// Wine's per-program DLL settings.
std::wstring settings_key(const Bitness& lister) {
  return std::wstring(L"Software\\Wine\\AppDefaults\\") + lister.exe;
}

struct Property {
  const wchar_t* name;
  DWORD type;
  std::vector<BYTE> data;
};

using Device = std::vector<Property>;

// A REG_SZ value holding exactly these UTF-16 units and a terminator.
Property text(const wchar_t* name, const std::wstring& units) {
  const BYTE* first = reinterpret_cast<const BYTE*>(units.c_str());
  return {name, REG_SZ,
          std::vector<BYTE>(first, first + (units.size() + 1) * sizeof(wchar_t))};
}

Property number(const wchar_t* name, DWORD value) {
  const BYTE* first = reinterpret_cast<const BYTE*>(&value);
  return {name, REG_DWORD, std::vector<BYTE>(first, first + sizeof value)};
}

Property friendly(const std::wstring& units) {
  return text(L"FriendlyName", units);
}

Property description(const std::wstring& units) {
  return text(L"Description", units);
}

bool running_on_wine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

bool registry_is_ours() {
  wchar_t given[2];
  return running_on_wine() ||
         (GetEnvironmentVariableW(L"TESTS_MAY_REWRITE_CAMERAS", given, 2) == 1
          && given[0] == L'1');
}

// Replaces the category's devices in one registry view with |devices|, in
// this order. A prefix without 32-bit Wine has no category in the 32-bit view.
void register_devices(const std::vector<Device>& devices, REGSAM view) {
  HKEY category;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, kCategoryKey, 0, nullptr, 0,
                            KEY_ALL_ACCESS | view, nullptr, &category, nullptr),
            ERROR_SUCCESS);
  RegDeleteTreeW(category, L"Instance");
  for (std::size_t i = 0; i < devices.size(); ++i) {
    // Wine's enumerator walks the subkeys in name order.
    wchar_t subkey[32];
    swprintf(subkey, 32, L"Instance\\device%04zu", i);
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(category, subkey, 0, nullptr, 0, KEY_WRITE,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    for (const Property& property : devices[i]) {
      EXPECT_EQ(RegSetValueExW(key, property.name, 0, property.type,
                               property.data.data(),
                               static_cast<DWORD>(property.data.size())),
                ERROR_SUCCESS);
    }
    RegCloseKey(key);
  }
  RegCloseKey(category);
}

// The listers stand beside the test program.
std::wstring beside_tests(const std::wstring& file) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L'\\') + 1) + file;
}

// The calling process's environment, with |extra| ("NAME=value") added.
std::wstring environment_with(const std::vector<std::wstring>& extra) {
  std::wstring block;
  wchar_t* const strings = GetEnvironmentStringsW();
  for (const wchar_t* entry = strings; *entry; entry += wcslen(entry) + 1)
    block.append(entry).push_back(L'\0');
  FreeEnvironmentStringsW(strings);
  for (const std::wstring& entry : extra)
    block.append(entry).push_back(L'\0');
  block.push_back(L'\0');
  return block;
}

SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};

// Starts the lister with |out| as its standard output (null: none at all) and
// returns its exit status. A run that does not end within half a minute fails
// the test.
DWORD run_lister_into(HANDLE out, const Bitness& lister = kX64,
                      const std::wstring& arguments = L"",
                      const std::vector<std::wstring>& environment = {}) {
  HANDLE nothing = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, 0,
                               &inheritable, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nothing;
  startup.hStdOutput = out;
  startup.hStdError = nothing;

  std::wstring command = L"\"" + beside_tests(lister.exe) + L"\"" + arguments;
  std::wstring block = environment_with(environment);
  PROCESS_INFORMATION process{};
  DWORD status = STILL_ACTIVE;
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE,
                      CREATE_UNICODE_ENVIRONMENT, block.data(), nullptr,
                      &startup, &process)) {
    ADD_FAILURE() << "cannot start the lister: " << GetLastError();
  } else {
    if (WaitForSingleObject(process.hProcess, 30000) != WAIT_OBJECT_0) {
      TerminateProcess(process.hProcess, 1);
      ADD_FAILURE() << "the lister did not end";
    }
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(nothing);
  return status;
}

struct Outcome {
  std::string out;
  DWORD status = 0;
};

// Runs the lister with its standard output in a file, and returns what it
// wrote.
Outcome run_lister(const Bitness& lister, const std::wstring& arguments,
                   const std::vector<std::wstring>& environment) {
  wchar_t folder[MAX_PATH];
  wchar_t file[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  GetTempFileNameW(folder, L"lcd", 0, file);
  HANDLE out = CreateFileW(file, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                           &inheritable, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_TEMPORARY, nullptr);
  Outcome run;
  run.status = run_lister_into(out, lister, arguments, environment);

  SetFilePointer(out, 0, nullptr, FILE_BEGIN);
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(out, buffer, sizeof buffer, &got, nullptr) && got > 0)
    run.out.append(buffer, got);
  CloseHandle(out);
  DeleteFileW(file);
  return run;
}

// The report for |names|, with the Windows line ends the program writes.
std::string report(const std::vector<std::string>& names) {
  std::string out = "Looking for capture devices:\r\nfoudn dev number = " +
                    std::to_string(names.size()) + "\r\n";
  for (std::size_t i = 0; i < names.size(); ++i)
    out += "device name: " + names[i] + ", index=" + std::to_string(i) + "\r\n";
  return out;
}

struct ListerCase {
  const char* what;
  std::vector<Device> devices;
  std::vector<std::string> names;
  std::wstring arguments = L"";
  std::vector<std::wstring> environment = {};
  // The system device enumerator's DLL is kept from loading.
  bool without_enumerator = false;
  // Registered in the other bitness's view, which the lister must not see.
  std::vector<Device> other_view = {};
  bool x86 = false;
};

void PrintTo(const ListerCase& c, std::ostream* out) { *out << c.what; }

// Sets where Wine takes |dll| from for |lister|: "" keeps it from loading,
// "native,builtin" prefers a file of that name found beside the lister.
void override_dll(const Bitness& lister, const std::wstring& dll,
                  const std::wstring& order) {
  HKEY key;
  const std::wstring overrides = settings_key(lister) + L"\\DllOverrides";
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, overrides.c_str(), 0, nullptr,
                            0, KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(key, dll.c_str(), 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(order.c_str()),
                           DWORD((order.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

// Cases that rewrite the registry's camera list, and empty it after.
template <typename Case>
class OwnRegistry : public testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    if (!registry_is_ours())
      GTEST_SKIP() << "rewrites the camera list: TESTS_MAY_REWRITE_CAMERAS=1?";
  }
  void TearDown() override {
    if (!registry_is_ours())
      return;
    for (const Bitness& lister : {kX64, kX86}) {
      register_devices({}, lister.view);
      RegDeleteTreeW(HKEY_CURRENT_USER, settings_key(lister).c_str());
    }
  }
};

class Lister : public OwnRegistry<ListerCase> {};

TEST_P(Lister, ReportsExactly) {
  const ListerCase& c = GetParam();
  const Bitness& own = c.x86 ? kX86 : kX64;
  const Bitness& other = c.x86 ? kX64 : kX86;
  if (c.without_enumerator && !running_on_wine())
    GTEST_SKIP() << "keeps devenum out by Wine's DllOverrides: Wine only";
  register_devices(c.devices, own.view);
  register_devices(c.other_view, other.view);
  if (c.without_enumerator)
    override_dll(own, L"devenum", L"");
  const Outcome run = run_lister(own, c.arguments, c.environment);
  EXPECT_EQ(run.out, report(c.names));
  EXPECT_EQ(run.status, 0u);
}

const std::vector<Device> kTwoCameras = {
    {friendly(L"USB Camera"), description(L"USB Video Device")},
    {friendly(L"Capture Card")}};

const std::vector<ListerCase> kListerCases = {
    ListerCase{"NoDevice", {}, {}},
    ListerCase{"FriendlyNamePreferred", kTwoCameras,
               {"USB Camera", "Capture Card"}},
    ListerCase{"DescriptionAlone", {{description(L"Webcam C270")}},
               {"Webcam C270"}},
    // A device without a name takes no index: the next one gets it.
    ListerCase{"NeitherIsSkipped",
               {{friendly(L"First")},
                {text(L"DevicePath", L"\\\\?\\usb#vid_046d")},
                {friendly(L"Third")}},
               {"First", "Third"}},
    ListerCase{"SameName",
               {{friendly(L"USB2.0 HD UVC WebCam")},
                {friendly(L"USB2.0 HD UVC WebCam")}},
               {"USB2.0 HD UVC WebCam", "USB2.0 HD UVC WebCam"}},
    ListerCase{"EmptyName", {{friendly(L"")}, {friendly(L"Next")}},
               {"", "Next"}},
    ListerCase{"BeyondAscii",
               {{friendly(L"Cam\u00E9ra \u20AC\u4E2D")},
                {friendly(std::wstring{L'A', wchar_t(0xDBFF), L'B'})},
                {friendly(L"A\u0100BC")}},
               {"Cam\xE9ra \xAC-", "A\xFF" "B", "A"}},
    // A short name after a long one keeps nothing of the long.
    ListerCase{"LongerThan255",
               {{friendly(std::wstring(254, L'a') + std::wstring(46, L'z'))},
                {friendly(L"ab")}},
               {std::string(254, 'a') + "z", "ab"}},
    ListerCase{"FriendlyNameIsANumber",
               {{number(L"FriendlyName", 0x41414141),
                 description(L"Fallback")},
                {number(L"FriendlyName", 7)},
                {friendly(L"After")}},
               {"Fallback", "After"}},
    ListerCase{"ControlCharactersMasked",
               {{friendly(L"Cam\r\ndevice name: Fake, index=9\x1B[2J")},
                {friendly(L"C1 \u009B2J")},
                {friendly(L"UTF-8 \u00C2\u009B" L"31m")}},
               {"Cam??device name: Fake, index=9?[2J", "C1 ?2J",
                "UTF-8 \xC2?31m"}},
    ListerCase{"CommandLineAndEnvironmentIgnored", kTwoCameras,
               {"USB Camera", "Capture Card"},
               L" --help /? -l 3 \"index=1\"",
               {L"LANG=tr_TR.UTF-8", L"LC_ALL=C", L"DEVICE=1",
                L"CAMERA_INDEX=3"}},
    // The system device enumerator cannot be created at all.
    ListerCase{"NoEnumerator", kTwoCameras, {}, L"", {}, true},
    // Software cameras register with one bitness or both; hardware ones show
    // in both views, each view in its own key order.
    ListerCase{"OwnViewOnly",
               {{friendly(L"Own Virtual Cam")}, kTwoCameras[0], kTwoCameras[1]},
               {"Own Virtual Cam", "USB Camera", "Capture Card"}, L"", {},
               false,
               {kTwoCameras[0], {friendly(L"Other Virtual Cam")}, kTwoCameras[1]}}};

// The same cases for the x86 lister, which reads the 32-bit view.
std::vector<ListerCase> on_x86() {
  std::vector<ListerCase> cases = kListerCases;
  for (ListerCase& c : cases)
    c.x86 = true;
  return cases;
}

std::string case_name(const testing::TestParamInfo<ListerCase>& info) {
  return info.param.what;
}

INSTANTIATE_TEST_SUITE_P(WinesEnumerator, Lister,
                         testing::ValuesIn(kListerCases), case_name);
INSTANTIATE_TEST_SUITE_P(X86UnderWow64, Lister,
                         testing::ValuesIn(on_x86()), case_name);

// A DLL dropped into Downloads beside the lister, named like one that the
// lister's process loads, and preferred by Wine: it is never loaded.
class PlantedDll : public testing::TestWithParam<const wchar_t*> {};

TEST_P(PlantedDll, IsNeverLoaded) {
  const std::wstring dll = GetParam();
  const std::wstring plant = beside_tests(L"downloads\\" + dll + L".dll");
  CreateDirectoryW(beside_tests(L"downloads").c_str(), nullptr);
  int tested = 0;
  for (const Bitness& own : {kX64, kX86}) {
    const std::wstring exe = std::wstring(L"downloads\\") + own.exe;
    if (!CopyFileW(beside_tests(own.exe).c_str(), beside_tests(exe).c_str(), 0))
      continue;  // Visual Studio builds one bitness: skipped below
    ++tested;
    // Each lister's build makes <lister>-planted.dll, of the lister's bitness.
    const std::wstring lister(own.exe, wcslen(own.exe) - 4);
    ASSERT_TRUE(CopyFileW(beside_tests(lister + L"-planted.dll").c_str(),
                          plant.c_str(), 0));
    if (running_on_wine())
      override_dll(own, dll, L"native,builtin");
    const Outcome run = run_lister({exe.c_str(), own.view}, L"", {});
    RegDeleteTreeW(HKEY_CURRENT_USER, settings_key(own).c_str());
    DeleteFileW(plant.c_str());
    DeleteFileW(beside_tests(exe).c_str());
    EXPECT_EQ(run.out, run_lister(own, L"", {}).out) << dll << " beside " << exe;
    EXPECT_EQ(run.status, 0u);
  }
  if (tested < 2)
    GTEST_SKIP() << "one bitness of the lister is not beside the tests";
}

INSTANTIATE_TEST_SUITE_P(Downloads, PlantedDll,
                         testing::Values(L"uxtheme", L"bcrypt", L"crypt32"));

// Registered in place of the system device enumerator, a stand-in ends the
// lister's process as it is created, flushing nothing: the header must be out
// by then, whole, as every line must be once complete.
TEST(Flush, HeaderIsOutBeforeThePlatformIsAsked) {
  if (!running_on_wine())
    GTEST_SKIP() << "registers a stand-in for the device enumerator: Wine only";
  HKEY key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT,
                          L"CLSID\\{62BE5D10-60EB-11D0-BD3B-00A0C911CE86}"
                          L"\\InprocServer32",
                          0, KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY,
                          &key),
            ERROR_SUCCESS);
  DWORD type = 0;
  BYTE wines[2 * MAX_PATH];
  DWORD size = sizeof wines;
  ASSERT_EQ(RegQueryValueExW(key, nullptr, nullptr, &type, wines, &size),
            ERROR_SUCCESS);
  const std::wstring dll = beside_tests(L"ending-enumerator.dll");
  RegSetValueExW(key, nullptr, 0, REG_SZ,
                 reinterpret_cast<const BYTE*>(dll.c_str()),
                 DWORD((dll.size() + 1) * sizeof(wchar_t)));
  const Outcome run = run_lister(kX64, L"", {});
  RegSetValueExW(key, nullptr, 0, type, wines, size);  // Wine's own again
  RegCloseKey(key);
  EXPECT_EQ(run.out, "Looking for capture devices:\r\n");
}

// Standard output that takes nothing: the report is lost, but the run ends as
// always, with status 0.
enum class Unwritable { kFullDevice, kReadOnly, kNone, kPipeWithoutReader };

struct OutputCase {
  const char* what;
  Unwritable output;
};

void PrintTo(const OutputCase& c, std::ostream* out) { *out << c.what; }

class UnwritableOutput : public OwnRegistry<OutputCase> {};

TEST_P(UnwritableOutput, EndsWithStatusZero) {
  register_devices(kTwoCameras, kX64.view);
  HANDLE out = nullptr;
  switch (GetParam().output) {
    case Unwritable::kFullDevice:
      // Wine's Z: drive is the Unix root; writes to /dev/full fail.
      if (!running_on_wine())
        GTEST_SKIP() << "Wine's Z:\\dev\\full: Wine only";
      out = CreateFileW(L"Z:\\dev\\full", GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                        OPEN_EXISTING, 0, nullptr);
      ASSERT_NE(out, INVALID_HANDLE_VALUE);
      break;
    case Unwritable::kReadOnly: {
      // What Windows has for a full device: a handle that refuses writes.
      out = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_WRITE, &inheritable,
                        OPEN_EXISTING, 0, nullptr);
      DWORD written = 0;
      ASSERT_NE(out, INVALID_HANDLE_VALUE);
      ASSERT_FALSE(WriteFile(out, "x", 1, &written, nullptr));
      break;
    }
    case Unwritable::kNone:
      break;
    case Unwritable::kPipeWithoutReader: {
      HANDLE reader;
      ASSERT_TRUE(CreatePipe(&reader, &out, &inheritable, 0));
      CloseHandle(reader);
      break;
    }
  }
  EXPECT_EQ(run_lister_into(out), 0u);
  if (out)
    CloseHandle(out);
}

INSTANTIATE_TEST_SUITE_P(
    Output, UnwritableOutput,
    testing::Values(OutputCase{"FullDevice", Unwritable::kFullDevice},
                    OutputCase{"ReadOnlyHandle", Unwritable::kReadOnly},
                    OutputCase{"None", Unwritable::kNone},
                    OutputCase{"PipeWithoutReader",
                               Unwritable::kPipeWithoutReader}),
    [](const testing::TestParamInfo<OutputCase>& info) {
      return std::string(info.param.what);
    });

}  // namespace
