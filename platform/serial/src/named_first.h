// The order of every port list (port_list.h), on every platform.
#ifndef KITSERIAL_SRC_NAMED_FIRST_H
#define KITSERIAL_SRC_NAMED_FIRST_H

#include <string>
#include <vector>

namespace kitserial {

// The ports the caller named, in the order given, each kept when it is not
// empty and `keep` accepts it; then the ports the system found, in their
// order. A name appears once, at its first place.
std::vector<std::string> named_first(const std::vector<std::string>& named, bool (*keep)(const std::string&),
                                     const std::vector<std::string>& found);

}  // namespace kitserial

#endif  // KITSERIAL_SRC_NAMED_FIRST_H
