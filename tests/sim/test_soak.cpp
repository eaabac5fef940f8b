// Soak: several hands on every bus at full report rate for about a minute,
// four readers calling getters without pause, commands and parameter reads
// from the main thread, and faults switched at random (fixed seed). It ends
// with every thread gone and resident memory flat after warm-up, and reports
// resident memory every minute. MORVANE_SOAK_MINUTES=n (the "long" test)
// runs n minutes after three minutes' warm-up and allows less than 64 KiB
// growth.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sim_rigs.h"

using namespace simtest;
using simhand::FaultConfig;
using simhand::SimHandConfig;

namespace {

// Minutes of the long run after its warm-up; 0 for the default minute.
int long_run_minutes() {
  const char* v = std::getenv("MORVANE_SOAK_MINUTES");
  const int minutes = v ? std::atoi(v) : 0;
  return minutes > 0 ? minutes : 0;
}

// Read with open() and read() rather than stdio, which would allocate a
// stream and its buffer at every sample and so take part in what it measures.
long resident_kib() {
  char text[128];
  ssize_t n = -1;
  const int fd = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
  }
  if (n <= 0) return 0;
  text[n] = '\0';
  long pages = 0, resident = 0;
  if (std::sscanf(text, "%ld %ld", &pages, &resident) != 2) return 0;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// What the allocator holds from the system and what of it is in use, to
// tell heap growth from resident pages the allocator merely touched. A
// sanitizer's own allocator stands in for glibc's, which then holds nothing.
std::string heap_figures() {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 33) && !defined(KIT_SANITIZER_BUILD)
  const struct mallinfo2 m = mallinfo2();
  char text[96];
  std::snprintf(text, sizeof text, ", heap %zu KiB in use of %zu KiB held", m.uordblks / 1024,
                (m.arena + m.hblkhd) / 1024);
  return text;
#else
  return {};
#endif
}

// CAN, CAN-FD and EtherCAT frames carry their own CRC in hardware: a
// damaged frame never reaches the host, so on those links corruption shows
// as loss. Only the RS485 byte stream hands damaged bytes to the library.
FaultConfig random_faults(std::mt19937& rng, bool stream) {
  std::uniform_int_distribution<int> pick(0, 9);
  FaultConfig f;
  switch (pick(rng)) {
    case 0: f.drop = 0.3; break;
    case 1: f.duplicate = 0.3; break;
    case 2: f.corrupt = stream ? 0.2 : 0; f.drop = stream ? 0 : 0.2; break;
    case 3: f.delay = std::chrono::milliseconds(20); f.jitter = std::chrono::milliseconds(30); break;
    case 4: f.silent = true; break;
    case 5: f.drop = 0.1; f.duplicate = 0.1; f.corrupt = stream ? 0.1 : 0; break;
    default: break;  // clean
  }
  if (stream && pick(rng) < 5) f.max_chunk = 1 + static_cast<size_t>(pick(rng));
  return f;
}

struct Totals {
  std::atomic<uint64_t> reads{0};
  std::atomic<uint64_t> bad_values{0};
  std::atomic<uint64_t> bad_params{0};
};

void read_hand(morvx::Morvane& h, int joints, Totals& t) {
  float f = 0, arr[40];
  int v = 0;
  for (int j = 1; j <= joints; ++j) {
    h.get_now_position(j, &v);
    if (v < -5000 || v > 10000) ++t.bad_values;
    h.get_now_angle(j, &f);
    if (!std::isfinite(f)) ++t.bad_values;
    h.get_now_status(j, &v);
    h.get_now_current(j, &v);
    h.get_enable(j, &v);
    h.get_target_position(j, &v);
  }
  for (int ch = 1; ch <= 11; ch += 2) {
    int n = 40;
    if (h.get_finger_pressure(ch, arr, &n) == 0)
      for (int i = 0; i < n; ++i)
        if (!(arr[i] >= 0.0f && arr[i] <= 25.5f)) ++t.bad_values;
    h.get_finger_normal_force(ch, &f);
  }
  ++t.reads;
}

TEST(Soak, EveryBusFullRateReadersCommandsAndFaults) {
  std::thread([] {}).join();  // a sanitizer's helper thread starts with the first thread
  const int threads_before = thread_count();
  std::mt19937 rng(20261209);
  Totals totals;
  {
    CanfdRig canfd(SimHandConfig::for_model_code(2), 101, 1ms);
    Rs485Rig rs485({SimHandConfig::for_model_code(5, 1), SimHandConfig::for_model_code(6, 2)}, true, 102);
    EthercatRig ecat(SimHandConfig::for_model_code(1), 103, 1ms);
    CanRig can(104);

    ASSERT_EQ(0, canfd.hand->initial(1, 1));
    ASSERT_EQ(0, rs485.hand(0).initial(2, 1));
    ASSERT_EQ(0, rs485.hand(1).initial(2, 2));
    ASSERT_EQ(0, ecat.initial());
    ASSERT_EQ(0, can.hand->initial(3));
    ASSERT_EQ(0, can.hand->set_hand_type(2));
    ASSERT_EQ(0, canfd.hand->set_sensor_enable(1));
    ASSERT_EQ(0, rs485.hand(1).set_sensor_enable(1));
    ASSERT_EQ(0, ecat.hand->set_sensor_enable(1));
    for (morvx::Morvane* h : {canfd.hand.get(), &rs485.hand(0), &rs485.hand(1), ecat.hand.get()}) {
      h->set_move_no_home(1);
      h->set_enable(0, 1);
    }

    // The deepest queue of any simulated wire: a backlog the machine's load
    // let build up shows here.
    const auto deepest_queue = [&] {
      uint64_t most = 0;
      for (simhand::SimLink* l : {&canfd.link, &rs485.link, &ecat.link, &can.link})
        most = std::max({most, l->to_device.counters().deepest, l->to_host.counters().deepest});
      return static_cast<unsigned long long>(most);
    };

    std::atomic<bool> stop{false};
    std::vector<std::thread> readers;
    for (int r = 0; r < 4; ++r) {
      readers.emplace_back([&] {
        while (!stop.load(std::memory_order_relaxed)) {
          read_hand(*canfd.hand, 6, totals);
          read_hand(rs485.hand(0), 6, totals);
          read_hand(rs485.hand(1), 6, totals);
          read_hand(*ecat.hand, 6, totals);
          read_hand(*can.hand, 16, totals);
        }
      });
    }

    const int long_minutes = long_run_minutes();
    // Buffers that keep their storage (the library's, the simulator's) reach
    // their size, and every slot of the links' queues has been used, during
    // the warm-up.
    const std::chrono::seconds warm_up(long_minutes ? 180 : 20);
    const std::chrono::seconds duration = long_minutes ? warm_up + std::chrono::minutes(long_minutes)
                                                       : std::chrono::seconds(60);
    const auto start = std::chrono::steady_clock::now();
    auto next_fault = start;
    auto next_report = start + std::chrono::minutes(1);
    long rss_after_warm_up = 0, rss_peak_after = 0;
    int step = 0;
    std::uniform_int_distribution<int> position(0, 10000), joint(0, 6), action(0, 9);
    while (std::chrono::steady_clock::now() - start < duration) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= next_fault) {
        canfd.link.to_host.set_faults(random_faults(rng, false));
        canfd.link.to_device.set_faults(random_faults(rng, false));
        rs485.link.to_host.set_faults(random_faults(rng, true));
        rs485.link.to_device.set_faults(random_faults(rng, true));
        ecat.link.to_host.set_faults(random_faults(rng, false));
        can.link.to_host.set_faults(random_faults(rng, false));
        can.link.to_device.set_faults(random_faults(rng, false));
        next_fault = now + std::chrono::milliseconds(300);
      }
      morvx::Morvane* six[] = {canfd.hand.get(), &rs485.hand(0), &rs485.hand(1), ecat.hand.get()};
      morvx::Morvane& h = *six[step % 4];
      switch (action(rng)) {
        case 0: {
          unsigned v = 0;
          const int r = h.get_sdo_drive_param(0x200E, 30, &v);
          if (r == 0 && v != 123) ++totals.bad_params;
          break;
        }
        case 1: h.set_sdo_drive_param(0x2300, 1, static_cast<unsigned>(step)); break;
        case 2: h.stop_motors(joint(rng)); break;
        case 3: h.set_enable(0, 1); break;
        case 4: {
          const uint8_t ota[8] = {1, 2, 3, 4, 5, 6, 7, static_cast<uint8_t>(step)};
          canfd.hand->set_ota_send_data(ota, sizeof ota);
          uint8_t buf[64];
          int len = 64;
          while (canfd.hand->get_ota_recv_data(buf, &len) == 0 && len > 0) len = 64;
          break;
        }
        default:
          h.set_target_position(0, position(rng));
          h.move_motors(0);
          can.hand->set_target_angle(1, static_cast<float>(position(rng)) / 100.0f);
          can.hand->move_motors(1);
          break;
      }
      ++step;
      const auto elapsed = std::chrono::steady_clock::now() - start;
      if (elapsed >= warm_up) {
        const long rss = resident_kib();
        if (rss_after_warm_up == 0) rss_after_warm_up = rss;
        rss_peak_after = std::max(rss_peak_after, rss);
      }
      if (std::chrono::steady_clock::now() >= next_report) {
        std::printf("soak: minute %d: RSS %ld KiB, growth since warm-up %ld KiB%s, deepest link queue %llu, "
                    "%llu reader passes\n",
                    static_cast<int>(std::chrono::duration_cast<std::chrono::minutes>(elapsed).count()),
                    resident_kib(), rss_peak_after - rss_after_warm_up, heap_figures().c_str(), deepest_queue(),
                    static_cast<unsigned long long>(totals.reads.load()));
        std::fflush(stdout);
        next_report += std::chrono::minutes(1);
      }
    }
    stop = true;
    for (auto& t : readers) t.join();

    const long growth = rss_peak_after - rss_after_warm_up;
    std::printf("soak: %d commands, %llu reader passes, RSS after warm-up %ld KiB, growth %ld KiB\n", step,
                static_cast<unsigned long long>(totals.reads.load()), rss_after_warm_up, growth);
#if defined(KIT_SANITIZER_BUILD) && !defined(KIT_TSAN_BUILD)
    // AddressSanitizer holds every freed block in its quarantine (256 MiB)
    // before reusing it, so resident memory rises with each allocation until
    // the quarantine is full, the sooner the more the program allocates:
    // growth here measures the quarantine, not the library. Leaks are
    // LeakSanitizer's to find.
    std::printf("soak: no growth bound under AddressSanitizer (its quarantine fills)\n");
#else
#ifdef KIT_TSAN_BUILD
    const long kAllowedGrowthKiB = 64 * 1024;  // shadow pages settle slowly
#else
    const long kAllowedGrowthKiB = long_minutes ? 64 : 4 * 1024;
#endif
    EXPECT_LT(growth, kAllowedGrowthKiB);
#endif
    EXPECT_EQ(0u, totals.bad_values.load());
    EXPECT_EQ(0u, totals.bad_params.load());
    EXPECT_GT(totals.reads.load(), 100u);
    EXPECT_GT(canfd.sim->reports_sent(), 1000u);
    EXPECT_GT(rs485.line->polls_for(1), 100u);
    EXPECT_GT(rs485.line->polls_for(2), 100u);
  }
  EXPECT_TRUE(wait_until([&] { return thread_count() == threads_before; }, 2000ms))
      << thread_count() << " threads, " << threads_before << " before";
}

}  // namespace
