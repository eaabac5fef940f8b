// Loads wpcap.dll once: first by name (the program's folder, the system
// folder, PATH), then from Npcap's own folder under the system folder, where
// Npcap installs it unless asked for WinPcap compatibility.
#include "wpcap_api.h"

#include <windows.h>

#include <string>

#include "kitdll/dll_binding.h"

namespace ecat {
namespace wpcap {
namespace {

HMODULE load_library() {
  HMODULE module = LoadLibraryA("wpcap.dll");
  if (module != nullptr) return module;
  char system_dir[MAX_PATH] = {0};
  const UINT n = GetSystemDirectoryA(system_dir, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return nullptr;
  const std::string npcap = std::string(system_dir, n) + "\\Npcap\\wpcap.dll";
  // The folder goes on the search path of this load only, so that wpcap.dll
  // finds Npcap's Packet.dll beside it.
  return LoadLibraryExA(npcap.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

bool running_on_wine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

Api load() {
  Api a{};
  HMODULE module = load_library();
  if (module == nullptr) return a;
  kitdll::Binder required(module);
  required.bind("pcap_findalldevs", &a.findalldevs)
      .bind("pcap_freealldevs", &a.freealldevs)
      .bind("pcap_open_live", &a.open_live)
      .bind("pcap_close", &a.close)
      .bind("pcap_sendpacket", &a.sendpacket)
      .bind("pcap_next_ex", &a.next_ex)
      .bind("pcap_setnonblock", &a.setnonblock);
  if (!required.complete()) return Api{};
  kitdll::Binder optional(module);
  optional.bind("pcap_compile", &a.compile).bind("pcap_setfilter", &a.setfilter).bind("pcap_freecode", &a.freecode);
  // Wine's wpcap exports this name as a stub that ends the process when
  // called; there, over libpcap, packets come without it anyway.
  if (!running_on_wine()) optional.bind("pcap_setmintocopy", &a.setmintocopy);
  // The module stays loaded for the life of the process.
  return a;
}

}  // namespace

const Api* api() {
  static const Api loaded = load();
  return loaded.findalldevs != nullptr ? &loaded : nullptr;
}

}  // namespace wpcap
}  // namespace ecat
