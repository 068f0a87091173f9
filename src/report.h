#ifndef LIST_CAPTURE_DEVICES_REPORT_H_
#define LIST_CAPTURE_DEVICES_REPORT_H_

#include <ostream>
#include <string>
#include <vector>

// The report's first line, written before the platform is asked anything.
void write_report_header(std::ostream& out);

// The count line, then one line per name with its position in |names|.
// Every line is flushed as soon as it is complete.
void write_report_devices(std::ostream& out,
                          const std::vector<std::string>& names);

#endif  // LIST_CAPTURE_DEVICES_REPORT_H_
