#include "named_first.h"

#include <algorithm>

namespace kitserial {

std::vector<std::string> named_first(const std::vector<std::string>& named, bool (*exists)(const std::string&),
                                     const std::vector<std::string>& found) {
  std::vector<std::string> ports;
  auto add = [&ports](const std::string& p) {
    if (std::find(ports.begin(), ports.end(), p) == ports.end()) ports.push_back(p);
  };
  for (const auto& p : named)
    if (!p.empty() && exists(p)) add(p);
  for (const auto& p : found) add(p);
  return ports;
}

}  // namespace kitserial
