// The present list of port_list.h on Windows: the names the system lists
// under HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM, or, when it lists
// none, the COM names from COM1 to COM256 that a device stands behind.
#include "kitserial/port_list.h"

#include <windows.h>

#include <cstring>

#include "device_path_win32.h"
#include "named_first.h"

namespace kitserial {
namespace {

const int kLastProbedPort = 256;
const DWORD kRegistryBufferBytes = 256;

// Opened with access 0: asks only whether the device exists, neither reads
// nor writes it, and closes it again at once.
bool com_port_exists(const std::string& name) {
  HANDLE h = ::CreateFileA(device_path(name).c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  ::CloseHandle(h);
  return true;
}

std::vector<std::string> registry_ports() {
  std::vector<std::string> ports;
  HKEY key = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
    return ports;
  for (DWORD index = 0;; ++index) {
    char value_name[kRegistryBufferBytes];
    BYTE data[kRegistryBufferBytes];
    DWORD name_size = kRegistryBufferBytes;
    DWORD data_size = kRegistryBufferBytes;
    DWORD type = 0;
    if (::RegEnumValueA(key, index, value_name, &name_size, nullptr, &type, data, &data_size) != ERROR_SUCCESS)
      break;
    if (type != REG_SZ || data_size == 0) continue;
    // The data may or may not carry its terminating zero.
    const char* text = reinterpret_cast<const char*>(data);
    std::string port(text, strnlen(text, data_size));
    if (!port.empty()) ports.push_back(port);
  }
  ::RegCloseKey(key);
  return ports;
}

std::vector<std::string> probed_ports() {
  std::vector<std::string> ports;
  for (int n = 1; n <= kLastProbedPort; ++n) {
    const std::string name = "COM" + std::to_string(n);
    if (com_port_exists(name)) ports.push_back(name);
  }
  return ports;
}

}  // namespace

std::vector<std::string> list_present_ports(const std::vector<std::string>& named) {
  std::vector<std::string> listed = registry_ports();
  if (listed.empty()) listed = probed_ports();
  return named_first(named, com_port_exists, listed);
}

}  // namespace kitserial
