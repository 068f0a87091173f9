#include "report.h"

#include <cstddef>

namespace {

// Device names come from drivers and device descriptors. Written raw, a line
// break in one would forge report lines and an escape would drive the
// terminal, so control bytes are shown as '?'. Bytes from 0x80 up are left as
// they are: they are what the name narrows to.
std::string printable(const std::string& name) {
  std::string shown = name;
  for (char& byte : shown) {
    const unsigned char value = static_cast<unsigned char>(byte);
    if (value < 0x20 || value == 0x7F)
      byte = '?';
  }
  return shown;
}

}  // namespace

void write_report_header(std::ostream& out) {
  out << "Looking for capture devices:" << std::endl;
}

void write_report_devices(std::ostream& out,
                          const std::vector<std::string>& names) {
  // The misspelling is kept: scripts look for this text.
  out << "foudn dev number = " << names.size() << std::endl;
  for (std::size_t index = 0; index < names.size(); ++index) {
    out << "device name: " << printable(names[index]) << ", index=" << index
        << std::endl;
  }
}
