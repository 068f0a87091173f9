#include "report.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::string devices_report(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& line : report_device_lines(names))
    text += line;
  return text;
}

struct NameCase {
  const char* what;
  std::string name;
  std::string shown;
};

void PrintTo(const NameCase& c, std::ostream* out) { *out << c.what; }

class ReportedName : public testing::TestWithParam<NameCase> {};

TEST_P(ReportedName, MasksControlBytesOnly) {
  EXPECT_EQ(devices_report({GetParam().name}),
            "foudn dev number = 1\ndevice name: " + GetParam().shown +
                ", index=0\n");
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, ReportedName,
    testing::Values(
        NameCase{"Empty", "", ""},
        NameCase{"Printable", " ~Cam 0!", " ~Cam 0!"},
        // A line break must not forge a device line of its own.
        NameCase{"LineBreaks", "Cam\r\ndevice name: X, index=0",
                 "Cam??device name: X, index=0"},
        NameCase{"TerminalEscape", "\x1B]0;owned\x07\x1B[2J",
                 "?]0;owned??[2J"},
        NameCase{"ControlRangeEnds", "\x01\x1F\x7F\x80\x9F", "?????"},
        // C1's CSI, alone and as UTF-8 reads it (C2 9B).
        NameCase{"C1Controls", "\x9B" "2J\xC2\x9B" "31m", "?2J\xC2?31m"},
        NameCase{"HighBytesUnchanged", "\xA0\xAC\xE9\xFF", "\xA0\xAC\xE9\xFF"}),
    [](const testing::TestParamInfo<NameCase>& info) {
      return std::string(info.param.what);
    });

TEST(Report, NoDevices) {
  EXPECT_EQ(report_header_line() + devices_report({}),
            "Looking for capture devices:\nfoudn dev number = 0\n");
}

TEST(Report, IndexIsThePositionInTheList) {
  EXPECT_EQ(devices_report({"Cam", "Cam", "Capture"}),
            "foudn dev number = 3\n"
            "device name: Cam, index=0\n"
            "device name: Cam, index=1\n"
            "device name: Capture, index=2\n");
}

}  // namespace
