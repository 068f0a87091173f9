#ifndef LIST_CAPTURE_DEVICES_CAPTURE_DEVICES_H_
#define LIST_CAPTURE_DEVICES_CAPTURE_DEVICES_H_

#include <string>
#include <vector>

// Appends the name of every video-capture device that DirectShow's system
// device enumerator hands over, in its order, to |names|. Entries already in
// |names| stay in front. A device whose name cannot be read is left out, and
// any failure of the platform simply ends the walk: nothing is reported, the
// list is only shorter.
void list_capture_devices(std::vector<std::string>& names);

#endif  // LIST_CAPTURE_DEVICES_CAPTURE_DEVICES_H_
