#ifndef LIST_CAPTURE_DEVICES_REPORT_H_
#define LIST_CAPTURE_DEVICES_REPORT_H_

#include <cstdio>
#include <string>
#include <vector>

// The report's first line, written before the platform is asked anything.
std::string report_header_line();

// The count line, then one line per name with its position in |names|.
// Each line ends in "\n".
std::vector<std::string> report_device_lines(
    const std::vector<std::string>& names);

// Writes |line| to |out| in one piece and flushes it, so that it reaches the
// console the moment it is complete. A failed write is not reported: there is
// nowhere left to report it.
void write_line(std::FILE* out, const std::string& line);

#endif  // LIST_CAPTURE_DEVICES_REPORT_H_
