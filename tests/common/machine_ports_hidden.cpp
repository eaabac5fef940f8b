// Linked into every test program that lists, probes or opens serial ports
// by the kit's port lists (kit_add_test ... HIDE_MACHINE_PORTS). CTest runs
// those programs through tests/hide_serial_devices.sh, which hides the
// machine's serial devices; this refuses to run any test where one is still
// visible (the program started by hand, a hiding that did not happen), so
// that the port lists never reach a real port: their probes open it, and
// opening a UART already switches its modem lines. Looks only at the names,
// opens nothing.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

namespace {

std::string visible_serial_devices() {
  std::string found;
  DIR* dir = ::opendir("/dev");
  if (dir == nullptr) return found;
  while (dirent* e = ::readdir(dir)) {
    bool serial = false;
    for (const char* prefix : {"ttyS", "ttyUSB", "ttyACM"})
      serial = serial || std::strncmp(e->d_name, prefix, std::strlen(prefix)) == 0;
    struct stat st {};
    const std::string path = std::string("/dev/") + e->d_name;
    if (serial && ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) found += " " + path;
  }
  ::closedir(dir);
  return found;
}

class MachinePortsHidden : public ::testing::Environment {
 public:
  void SetUp() override {
    const std::string found = visible_serial_devices();
    // A fatal failure here runs no test at all.
    ASSERT_TRUE(found.empty()) << "serial devices of the machine are in reach:" << found
                               << "\nRun this test through ctest, which hides them "
                                  "(tests/hide_serial_devices.sh).";
  }
};

[[maybe_unused]] const ::testing::Environment* const kMachinePortsHidden =
    ::testing::AddGlobalTestEnvironment(new MachinePortsHidden);

}  // namespace
