// The order every port list of this library keeps, on every platform.
#ifndef KITSERIAL_LIST_NAMED_FIRST_H
#define KITSERIAL_LIST_NAMED_FIRST_H

#include <string>
#include <vector>

namespace kitserial {

// The ports the user named, in the order given, each kept when it is not
// empty and `exists` says the device is there; then the ports the system
// found, in their order. A name appears once, at its first place.
std::vector<std::string> named_first(const std::vector<std::string>& named, bool (*exists)(const std::string&),
                                     const std::vector<std::string>& found);

}  // namespace kitserial

#endif  // KITSERIAL_LIST_NAMED_FIRST_H
