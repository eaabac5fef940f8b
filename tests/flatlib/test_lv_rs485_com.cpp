// The flat library's RS485 transport through a Windows COM port, end to end:
// scripts/windows.sh maps the port named in KIT_WINE_COM_PORT to the
// pseudo-terminal of a simulated hand (node 1) before the tests run under
// wine. The library finds the port in its COM1-COM20 scan, opens it, and
// enables, homes and moves the hand.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lv_moves.h"
#include "morvane_lv/morvane_lv.h"

namespace {

// Position in the library's port list of the COM port the simulated hand
// answers on; -1 when it is not listed.
int listed_index(const std::string& port) {
  const int count = lv_rs485_scan_device_count();
  for (int i = 0; i < count; ++i) {
    char name[64];
    if (lv_rs485_get_device_string(i, name, sizeof name) == 0 && port == name) return i;
  }
  return -1;
}

// Wine opens a COM port a second time even with share mode 0, which
// Windows refuses.
bool under_wine() {
  HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

class LvRs485Com : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* port = std::getenv("KIT_WINE_COM_PORT");
    if (port == nullptr || *port == '\0') {
      GTEST_SKIP() << "no COM port with a simulated hand: KIT_WINE_COM_PORT is set by scripts/windows.sh";
    }
    port_ = port;
  }
  void TearDown() override { lv_close(); }

  std::string port_;
};

TEST_F(LvRs485Com, ScanListsComNamesOnly) {
  const int count = lv_rs485_scan_device_count();
  for (int i = 0; i < count; ++i) {
    char name[64];
    ASSERT_EQ(lv_rs485_get_device_string(i, name, sizeof name), 0);
    ASSERT_EQ(std::strncmp(name, "COM", 3), 0) << name;
    const int n = std::atoi(name + 3);
    EXPECT_TRUE(n >= 1 && n <= 20) << name;
  }
  EXPECT_GE(listed_index(port_), 0) << port_ << " is not in the scan";
}

TEST_F(LvRs485Com, OpensMovesAndHoldsThePortExclusively) {
  const int index = listed_index(port_);
  ASSERT_GE(index, 0) << port_ << " is not in the scan";
  ASSERT_EQ(lv_init(2, index, 1), 0);
  EXPECT_EQ(lv_is_connected(), 1);
  // Open by the library: the exclusive probe of a new scan skips it.
  if (under_wine()) {
    std::printf("wine shares COM ports opened exclusively: the scan of an open port is not checked\n");
  } else {
    EXPECT_LT(listed_index(port_), 0);
  }

  flatlib_test::enable_home_and_move(6000);

  lv_close();
  EXPECT_EQ(lv_is_connected(), 0);
  EXPECT_GE(listed_index(port_), 0) << "closed port not listed again";
}

}  // namespace
