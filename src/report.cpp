#include "report.h"

#include <cstddef>

namespace {

// Device names come from drivers and device descriptors. Written raw, a line
// break in one would forge report lines and an escape would drive the
// terminal, so control bytes are shown as '?': C0 and DEL, and C1 (0x80-0x9F),
// where 0x9B is a terminal's CSI as much as ESC [ is (and C2 9B is CSI in
// UTF-8). No Latin text narrows to C1: those bytes come only from C1 controls
// or from units that narrowing has already made unreadable. Bytes from 0xA0 up
// are left as they are: they are what the name narrows to.
std::string printable(const std::string& name) {
  std::string shown = name;
  for (char& byte : shown) {
    const unsigned char value = static_cast<unsigned char>(byte);
    if (value < 0x20 || (value >= 0x7F && value <= 0x9F))
      byte = '?';
  }
  return shown;
}

}  // namespace

std::string report_header_line() {
  return "Looking for capture devices:\n";
}

std::vector<std::string> report_device_lines(
    const std::vector<std::string>& names) {
  // The misspelling is kept: scripts look for this text.
  std::vector<std::string> lines = {"foudn dev number = " +
                                    std::to_string(names.size()) + "\n"};
  for (std::size_t index = 0; index < names.size(); ++index) {
    lines.push_back("device name: " + printable(names[index]) +
                    ", index=" + std::to_string(index) + "\n");
  }
  return lines;
}

void write_line(std::FILE* out, const std::string& line) {
  // The C runtime's stream, not std::cout: the C++ stream classes would bring
  // their locale machinery into the exe, several times the size of all the
  // rest, to write four kinds of line.
  std::fwrite(line.data(), 1, line.size(), out);
  std::fflush(out);
}
