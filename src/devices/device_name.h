#ifndef LIST_CAPTURE_DEVICES_DEVICE_NAME_H_
#define LIST_CAPTURE_DEVICES_DEVICE_NAME_H_

#include <cstddef>
#include <string>

// The longest name, in bytes, that a device is listed under.
constexpr std::size_t kMaxDeviceNameLength = 255;

// Turns a device's zero-terminated UTF-16 name into the byte string it is
// listed under: the low byte of each of the first 255 code units, up to the
// first unit whose low byte is zero. No character-set conversion is done, so
// that the bytes stay what scripts reading the report have always seen.
std::string narrow_device_name(const wchar_t* units);

#endif  // LIST_CAPTURE_DEVICES_DEVICE_NAME_H_
