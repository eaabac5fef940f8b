// The few calls of the Windows packet-capture library (wpcap.dll, from Npcap
// or WinPcap) that the master uses, loaded at run time so that a machine
// without it still loads our libraries: it then has no adapters and no port.
// Records are declared here as that library documents them; only the fields
// we read are named.
#ifndef ETHERCAT_WPCAP_API_H
#define ETHERCAT_WPCAP_API_H

#include <cstdint>

namespace ecat {
namespace wpcap {

constexpr int kErrorBufferBytes = 256;  // PCAP_ERRBUF_SIZE
constexpr uint32_t kIfLoopback = 0x00000001;

struct Address;  // never read

// One entry of the device list (pcap_if_t).
struct Interface {
  Interface* next;
  char* name;
  char* description;
  Address* addresses;
  uint32_t flags;
};

// Header of one captured packet (struct pcap_pkthdr with the 32-bit
// struct timeval of Windows).
struct PacketHeader {
  int32_t ts_sec;
  int32_t ts_usec;
  uint32_t caplen;
  uint32_t len;
};

// A compiled filter (struct bpf_program).
struct FilterProgram {
  unsigned int length;
  void* instructions;
};

struct Capture;  // pcap_t

// Calls through the C calling convention, as the library exports them.
struct Api {
  int (*findalldevs)(Interface** list, char* errbuf);
  void (*freealldevs)(Interface* list);
  Capture* (*open_live)(const char* device, int snaplen, int promisc, int timeout_ms, char* errbuf);
  void (*close)(Capture* p);
  int (*sendpacket)(Capture* p, const uint8_t* buf, int size);
  int (*next_ex)(Capture* p, PacketHeader** header, const uint8_t** data);
  int (*setnonblock)(Capture* p, int nonblock, char* errbuf);
  // Optional: absent in some builds of the library.
  int (*compile)(Capture* p, FilterProgram* program, const char* text, int optimize, uint32_t netmask);
  int (*setfilter)(Capture* p, FilterProgram* program);
  void (*freecode)(FilterProgram* program);
  int (*setmintocopy)(Capture* p, int size);
};

// The library's calls, or null when wpcap.dll (or one of its required calls)
// is missing. Loaded once; thread-safe.
const Api* api();

}  // namespace wpcap
}  // namespace ecat

#endif
