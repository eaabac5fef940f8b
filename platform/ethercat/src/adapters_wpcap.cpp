// Adapter list from wpcap's device list (Windows): names as wpcap gives them
// ("\Device\NPF_{...}", what open() takes) and its descriptions.
#include "ethercat/master.h"
#include "wpcap_api.h"

namespace ecat {

std::vector<Adapter> list_adapters() {
  std::vector<Adapter> out;
  const wpcap::Api* pcap = wpcap::api();
  if (pcap == nullptr) return out;
  char errbuf[wpcap::kErrorBufferBytes] = {0};
  wpcap::Interface* devs = nullptr;
  if (pcap->findalldevs(&devs, errbuf) != 0) return out;
  for (wpcap::Interface* d = devs; d != nullptr; d = d->next) {
    if (d->name == nullptr || d->name[0] == '\0') continue;
    Adapter a;
    a.name = d->name;
    a.description = (d->description != nullptr && d->description[0] != '\0') ? d->description : d->name;
    if ((d->flags & wpcap::kIfLoopback) != 0 && a.description == a.name) a.description += " (loopback)";
    out.push_back(a);
  }
  pcap->freealldevs(devs);
  return out;
}

}  // namespace ecat
