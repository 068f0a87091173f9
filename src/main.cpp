// list-capture-devices: prints the video-capture devices that DirectShow
// knows of, each with the index under which programs that pick cameras by
// position will find it.
//
// The command line and the environment are not read, and every run that gets
// to the end exits with 0: a device that cannot be read only makes the list
// shorter. A run that cannot finish (memory exhausted, say) is ended by the
// runtime with another status, its report cut short: never taken for success.

#include <cstdio>
#include <string>
#include <vector>

#include "devices/capture_devices.h"
#include "report.h"

int main() {
  std::vector<std::string> names;
  write_line(stdout, report_header_line());
  list_capture_devices(names);
  for (const std::string& line : report_device_lines(names))
    write_line(stdout, line);
  return 0;
}
