#include "report.h"

#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct NameCase {
  const char* what;
  std::string name;
  std::string shown;
};

void PrintTo(const NameCase& c, std::ostream* out) { *out << c.what; }

class ReportedName : public testing::TestWithParam<NameCase> {};

TEST_P(ReportedName, MasksControlBytesOnly) {
  std::ostringstream out;
  write_report_devices(out, {GetParam().name});
  EXPECT_EQ(out.str(), "foudn dev number = 1\ndevice name: " +
                           GetParam().shown + ", index=0\n");
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
        NameCase{"ControlRangeEnds", "\x01\x1F\x7F", "???"},
        NameCase{"HighBytesUnchanged", "\x80\xAC\xE9\xFF", "\x80\xAC\xE9\xFF"}),
    [](const testing::TestParamInfo<NameCase>& info) {
      return std::string(info.param.what);
    });

TEST(Report, NoDevices) {
  std::ostringstream out;
  write_report_header(out);
  write_report_devices(out, {});
  EXPECT_EQ(out.str(), "Looking for capture devices:\nfoudn dev number = 0\n");
}

TEST(Report, IndexIsThePositionInTheList) {
  std::ostringstream out;
  write_report_devices(out, {"Cam", "Cam", "Capture"});
  EXPECT_EQ(out.str(),
            "foudn dev number = 3\n"
            "device name: Cam, index=0\n"
            "device name: Cam, index=1\n"
            "device name: Capture, index=2\n");
}

}  // namespace
