// list-capture-devices: prints the video-capture devices that DirectShow
// knows of, each with the index under which programs that pick cameras by
// position will find it.
//
// The command line and the environment are not read, and the exit status is
// always 0: a device that cannot be read only makes the list shorter.

#include <iostream>
#include <string>
#include <vector>

#include "devices/capture_devices.h"
#include "report.h"

int main() {
  std::vector<std::string> names;
  write_report_header(std::cout);
  list_capture_devices(names);
  write_report_devices(std::cout, names);
  return 0;
}
