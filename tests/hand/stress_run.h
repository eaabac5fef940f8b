// One run of a lock-free stress test: a receive thread, reader threads and
// the set-up calls on the test's own thread, each repeating its step.
#ifndef MORVANE_TESTS_STRESS_RUN_H
#define MORVANE_TESTS_STRESS_RUN_H

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace hand_test {

struct StressRun {
    long received = 0;   // receive steps
    long read = 0;       // reader steps, all readers
    long set_up = 0;     // set-up steps
    bool set_up_ok = true;  // false: a set-up step failed and ended the run
};

// Runs receive() on one thread and read() on `readers` threads while this
// thread runs set_up(step number), which answers false to end the run, for
// about 1.5 s, and longer until the receiver and the readers have made 100
// steps each (a loaded machine may start them late), 20 s at the most.
// Every thread has ended when it returns.
template <typename Receive, typename Read, typename SetUp>
StressRun run_stress(Receive receive, Read read, SetUp set_up, int readers = 3) {
    std::atomic<bool> stop{false};
    std::atomic<long> received{0}, read_steps{0};
    std::thread receiver([&] {
        while (!stop.load(std::memory_order_relaxed)) {
            receive();
            ++received;
        }
    });
    std::vector<std::thread> reader_threads;
    for (int i = 0; i < readers; ++i) {
        reader_threads.emplace_back([&] {
            while (!stop.load(std::memory_order_relaxed)) {
                read();
                ++read_steps;
            }
        });
    }
    StressRun run;
    const auto start = std::chrono::steady_clock::now();
    const auto busy = [&] {
        const auto t = std::chrono::steady_clock::now();
        if (t - start > std::chrono::seconds(20)) return false;
        return t - start < std::chrono::milliseconds(1500) || received.load() < 100 || read_steps.load() < 100;
    };
    while (run.set_up_ok && busy()) run.set_up_ok = set_up(run.set_up++);
    stop = true;
    receiver.join();
    for (std::thread& t : reader_threads) t.join();
    run.received = received.load();
    run.read = read_steps.load();
    return run;
}

}  // namespace hand_test

#endif  // MORVANE_TESTS_STRESS_RUN_H
