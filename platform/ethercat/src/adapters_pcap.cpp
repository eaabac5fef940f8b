// Adapter list from libpcap's device list.
#include <net/if.h>
#include <pcap/pcap.h>

#include "ethercat/master.h"

namespace ecat {

std::vector<Adapter> list_adapters() {
  std::vector<Adapter> out;
  char errbuf[PCAP_ERRBUF_SIZE] = {0};
  pcap_if_t* devs = nullptr;
  if (pcap_findalldevs(&devs, errbuf) != 0) return out;
  for (pcap_if_t* d = devs; d != nullptr; d = d->next) {
    if (d->name == nullptr) continue;
    // libpcap also lists capture-only pseudo devices ("any", "nflog",
    // "dbus-system", ...); only real interfaces can carry frames.
    if (if_nametoindex(d->name) == 0) continue;
    Adapter a;
    a.name = d->name;
    // Linux interfaces rarely carry a description; say at least what kind
    // of interface it is where libpcap knows, so callers can filter on it.
    a.description = (d->description != nullptr && d->description[0] != '\0') ? d->description : d->name;
    if ((d->flags & PCAP_IF_LOOPBACK) != 0 && a.description == a.name) a.description += " (loopback)";
#ifdef PCAP_IF_WIRELESS
    if ((d->flags & PCAP_IF_WIRELESS) != 0 && a.description == a.name) a.description += " (wireless)";
#endif
    out.push_back(a);
  }
  pcap_freealldevs(devs);
  return out;
}

}  // namespace ecat
