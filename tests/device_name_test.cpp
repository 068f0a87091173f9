#include "devices/device_name.h"

#include <string>

#include <gtest/gtest.h>

namespace {

struct NarrowCase {
  const char* what;
  std::wstring units;
  std::string bytes;
};

// 0..n-1 cycling through 'a'..'z', so a cut in the wrong place shows.
std::wstring alphabet(std::size_t count) {
  std::wstring units;
  for (std::size_t i = 0; i < count; ++i)
    units.push_back(static_cast<wchar_t>(L'a' + i % 26));
  return units;
}

std::string narrowed_alphabet(std::size_t count) {
  std::string bytes;
  for (std::size_t i = 0; i < count; ++i)
    bytes.push_back(static_cast<char>('a' + i % 26));
  return bytes;
}

void PrintTo(const NarrowCase& c, std::ostream* out) { *out << c.what; }

class NarrowDeviceName : public testing::TestWithParam<NarrowCase> {};

TEST_P(NarrowDeviceName, KeepsTheLowByteOfEachUnit) {
  EXPECT_EQ(narrow_device_name(GetParam().units.c_str()), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, NarrowDeviceName,
    testing::Values(
        NarrowCase{"Empty", L"", ""},
        NarrowCase{"Ascii", L"Integrated Camera (0c45:6713)",
                   "Integrated Camera (0c45:6713)"},
        NarrowCase{"Latin1", L"Cam\u00E9ra", "Cam\xE9ra"},
        NarrowCase{"EuroAndHan", L"\u20AC\u4E2D", "\xAC-"},
        NarrowCase{"SurrogatePair", L"\U0001F4F7", "\x3D\xF7"},
        NarrowCase{"LoneSurrogate", std::wstring{L'A', wchar_t(0xDBFF), L'B'},
                   "A\xFF" "B"},
        NarrowCase{"MultipleOf256EndsTheName", L"A\u0100BC", "A"},
        NarrowCase{"MultipleOf256First", L"\u4E00BC", ""},
        NarrowCase{"Length254", alphabet(254), narrowed_alphabet(254)},
        NarrowCase{"Length255", alphabet(255), narrowed_alphabet(255)},
        NarrowCase{"Length256", alphabet(256), narrowed_alphabet(255)},
        NarrowCase{"Length300", alphabet(300), narrowed_alphabet(255)},
        // The list keeps what the driver said; only the report masks it.
        NarrowCase{"ControlUnitsKept", L"a\nb\x1B", "a\nb\x1B"}),
    [](const testing::TestParamInfo<NarrowCase>& info) {
      return std::string(info.param.what);
    });

}  // namespace
