#include "named_first.h"

#include <algorithm>

namespace kitserial {

std::vector<std::string> named_first(const std::vector<std::string>& named, bool (*keep)(const std::string&),
                                     const std::vector<std::string>& found) {
  std::vector<std::string> ports;
  auto listed = [&ports](const std::string& p) { return std::find(ports.begin(), ports.end(), p) != ports.end(); };
  // A name given twice is checked once: a probe that opens the port costs.
  for (const auto& p : named)
    if (!p.empty() && !listed(p) && keep(p)) ports.push_back(p);
  for (const auto& p : found)
    if (!listed(p)) ports.push_back(p);
  return ports;
}

}  // namespace kitserial
