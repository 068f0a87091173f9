#include "devices/device_name.h"

std::string narrow_device_name(const wchar_t* units) {
  std::string name;
  for (std::size_t k = 0; k < kMaxDeviceNameLength && units[k] != 0; ++k) {
    const char byte = static_cast<char>(units[k] & 0xFF);
    // A unit such as U+0100 narrows to a zero byte, which ends the name:
    // nothing after it could be told apart from the terminator anyway.
    if (byte == 0)
      break;
    name.push_back(byte);
  }
  return name;
}
