// Frame log: line text, filters, ring and save window, file rules, and saves
// running while several threads log.
#include "frame_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "temp_dir.h"

namespace morvx {
namespace {

class TempDir {
public:
    TempDir() {
        std::string pattern = ::testing::TempDir() + "frame_log_XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        char* made = kit_make_temp_dir(buf.data());
        if (made != nullptr) path_ = made;
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Saved lines end as the platform's text files do.
#ifdef _WIN32
const std::string kLineEnd = "\r\n";
#else
const std::string kLineEnd = "\n";
#endif

std::vector<std::string> read_lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Lines handed to the callback, and the threads they came from.
std::mutex g_seen_mutex;
std::vector<std::string> g_seen;
std::vector<std::thread::id> g_seen_threads;

void record_line(const char* line) {
    std::lock_guard<std::mutex> lock(g_seen_mutex);
    g_seen.emplace_back(line);
    g_seen_threads.push_back(std::this_thread::get_id());
}

class FrameLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::lock_guard<std::mutex> lock(g_seen_mutex);
        g_seen.clear();
        g_seen_threads.clear();
    }

    void enable_all(bool send, bool recv) {
        std::vector<int> all(256);
        for (int i = 0; i < 256; ++i) all[i] = i;
        if (send) {
            ASSERT_EQ(log_.set_filter(true, all.data(), 256), 0);
        }
        if (recv) {
            ASSERT_EQ(log_.set_filter(false, all.data(), 256), 0);
        }
    }

    // Logs lines "Send:  01 <hi> <lo> = ok" numbered from `from`.
    void log_numbered(int from, int count) {
        for (int i = from; i < from + count; ++i) {
            const uint8_t frame[] = {0x01, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
            log_.log_frame(frame, sizeof frame, true);
        }
    }

#ifndef _WIN32
    // Runs in a child process: writes beyond `bytes` fail there.
    int save_with_size_limit(const std::string& path, rlim_t bytes) {
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit;
        limit.rlim_cur = bytes;
        limit.rlim_max = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
        return log_.save(path.c_str());
    }
#endif

    static std::string numbered_line(int i) {
        char text[64];
        std::snprintf(text, sizeof text, "Send:  01 %02X %02X = ok", (i >> 8) & 0xFF, i & 0xFF);
        return text;
    }

    FrameLog log_;
    TempDir dir_;
};

TEST_F(FrameLogTest, LineTextForBothDirections) {
    log_.set_callback(&record_line);
    log_.log_on(true, 10000);
    enable_all(true, true);
    const uint8_t sent[] = {0xA0, 0x05};
    const uint8_t received[] = {0xab, 0x00, 0xff, 0x7c};
    const uint8_t single[] = {0x0f};
    log_.log_frame(sent, sizeof sent, true);
    log_.log_frame(received, sizeof received, false);
    log_.log_frame(single, sizeof single, true);

    std::lock_guard<std::mutex> lock(g_seen_mutex);
    ASSERT_EQ(g_seen.size(), 3u);
    EXPECT_EQ(g_seen[0], "Send:  A0 05 = ok");
    EXPECT_EQ(g_seen[1], "Recv:  AB 00 FF 7C = ok");
    EXPECT_EQ(g_seen[2], "Send:  0F = ok");
    for (auto id : g_seen_threads) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST_F(FrameLogTest, NothingLoggedUntilEnabledAndFiltered) {
    log_.set_callback(&record_line);
    const uint8_t frame[] = {0xA0, 0x01};

    log_.log_frame(frame, sizeof frame, true);  // logging off, filters empty
    log_.log_on(true, 10000);
    log_.log_frame(frame, sizeof frame, true);  // filters still empty
    log_.log_frame(frame, sizeof frame, false);
    EXPECT_EQ(log_.lines_logged(), 0u);

    enable_all(true, true);
    log_.log_frame(nullptr, 4, true);
    log_.log_frame(frame, 0, true);
    EXPECT_EQ(log_.lines_logged(), 0u);

    std::lock_guard<std::mutex> lock(g_seen_mutex);
    EXPECT_TRUE(g_seen.empty());
}

TEST_F(FrameLogTest, FilterTakesValidCodesOnlyAndPerDirection) {
    log_.log_on(true, 10000);
    int codes[] = {0xA0, 300, -1};
    EXPECT_EQ(log_.set_filter(true, codes, 3), 0);
    EXPECT_EQ(log_.filter_word(true, 2), uint64_t{1} << (0xA0 - 128));
    EXPECT_EQ(log_.filter_word(true, 0) | log_.filter_word(true, 1) | log_.filter_word(true, 3), 0u);
    EXPECT_EQ(log_.filter_word(false, 2), 0u);

    EXPECT_EQ(log_.set_filter(true, nullptr, 3), 1);
    EXPECT_EQ(log_.set_filter(false, codes, 0), 1);
    EXPECT_EQ(log_.set_filter(false, codes, -2), 1);

    log_.set_callback(&record_line);
    const uint8_t a0[] = {0xA0};
    const uint8_t a1[] = {0xA1};
    log_.log_frame(a0, 1, true);
    log_.log_frame(a1, 1, true);
    log_.log_frame(a0, 1, false);  // receive filter empty
    std::lock_guard<std::mutex> lock(g_seen_mutex);
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(g_seen[0], "Send:  A0 = ok");
}

TEST_F(FrameLogTest, ResetEmptiesOnlyTheChosenFilter) {
    enable_all(true, true);
    log_.reset(true, false);
    for (int w = 0; w < 4; ++w) {
        EXPECT_EQ(log_.filter_word(true, w), 0u);
        EXPECT_EQ(log_.filter_word(false, w), ~uint64_t{0});
    }
    log_.reset(false, true);
    for (int w = 0; w < 4; ++w) EXPECT_EQ(log_.filter_word(false, w), 0u);
}

TEST_F(FrameLogTest, SaveWritesNewestLinesOldestFirst) {
    log_.log_on(true, 10000);
    enable_all(true, false);
    log_numbered(0, 20000);

    ASSERT_EQ(log_.save(dir_.file("newest.txt").c_str()), 0);
    auto lines = read_lines(dir_.file("newest.txt"));
    ASSERT_EQ(lines.size(), 10000u);
    EXPECT_EQ(lines.front(), numbered_line(10000));
    EXPECT_EQ(lines.back(), numbered_line(19999));
    const std::string text = read_all(dir_.file("newest.txt"));
    EXPECT_EQ(text.size(), 10000 * (numbered_line(0).size() + kLineEnd.size()));
    EXPECT_EQ(text.substr(text.size() - kLineEnd.size()), kLineEnd);

    // More than the ring holds: the whole ring.
    log_.log_on(true, 50000);
    ASSERT_EQ(log_.save(dir_.file("ring.txt").c_str()), 0);
    lines = read_lines(dir_.file("ring.txt"));
    ASSERT_EQ(lines.size(), 16384u);
    EXPECT_EQ(lines.front(), numbered_line(20000 - 16384));
    EXPECT_EQ(lines.back(), numbered_line(19999));
}

TEST_F(FrameLogTest, SaveCountZeroOrNegativeWritesAnEmptyFile) {
    log_.log_on(true, -5);
    enable_all(true, false);
    log_numbered(0, 10);
    ASSERT_EQ(log_.save(dir_.file("neg.txt").c_str()), 0);
    EXPECT_EQ(read_all(dir_.file("neg.txt")), "");
    log_.log_on(true, 0);
    ASSERT_EQ(log_.save(dir_.file("zero.txt").c_str()), 0);
    EXPECT_EQ(read_all(dir_.file("zero.txt")), "");
}

TEST_F(FrameLogTest, ClearExcludesEarlierLines) {
    log_.log_on(true, 10000);
    enable_all(true, false);
    log_numbered(0, 100);
    log_.clear();
    ASSERT_EQ(log_.save(dir_.file("empty.txt").c_str()), 0);
    EXPECT_EQ(read_all(dir_.file("empty.txt")), "");

    log_numbered(100, 5);
    ASSERT_EQ(log_.save(dir_.file("five.txt").c_str()), 0);
    auto lines = read_lines(dir_.file("five.txt"));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], numbered_line(100));
    EXPECT_EQ(lines[4], numbered_line(104));
}

TEST_F(FrameLogTest, LoggingOffKeepsLinesForSave) {
    log_.log_on(true, 10000);
    enable_all(true, false);
    log_numbered(0, 3);
    log_.log_on(false, 10000);
    log_numbered(3, 3);
    EXPECT_EQ(log_.lines_logged(), 3u);
    ASSERT_EQ(log_.save(dir_.file("kept.txt").c_str()), 0);
    EXPECT_EQ(read_lines(dir_.file("kept.txt")).size(), 3u);
}

TEST_F(FrameLogTest, SaveRefusesNullExistingAndUnwritablePaths) {
    EXPECT_EQ(log_.save(nullptr), 1);

    const std::string existing = dir_.file("existing.txt");
    { std::ofstream(existing, std::ios::binary) << "keep me\n"; }
    log_.log_on(true, 10000);
    enable_all(true, false);
    log_numbered(0, 4);
    EXPECT_EQ(log_.save(existing.c_str()), 9);
    EXPECT_EQ(read_all(existing), "keep me\n");

    // An existing file that cannot be read is still never overwritten.
    const std::string unreadable = dir_.file("unreadable.txt");
    { std::ofstream(unreadable, std::ios::binary) << "secret\n"; }
    ::chmod(unreadable.c_str(), S_IWUSR);
    const int result = log_.save(unreadable.c_str());
    ::chmod(unreadable.c_str(), S_IRUSR | S_IWUSR);
    EXPECT_EQ(result, 9);
    EXPECT_EQ(read_all(unreadable), "secret\n");

    EXPECT_EQ(log_.save(dir_.file("no/such/dir/log.txt").c_str()), 10);
#ifdef _WIN32
    // A file another handle holds without sharing cannot be opened at all,
    // yet it exists: the create-only open reports that, never a write error.
    const std::string held = dir_.file("held.txt");
    { std::ofstream(held, std::ios::binary) << "held\n"; }
    HANDLE h = ::CreateFileA(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(log_.save(held.c_str()), 9);
    ::CloseHandle(h);
    EXPECT_EQ(read_all(held), "held\n");
#endif
}

// A write that fails half way (file size limit) is reported as 10; the
// partly written file stays.
TEST_F(FrameLogTest, FailedWriteGivesTen) {
#ifdef _WIN32
    GTEST_SKIP() << "needs a file size limit (setrlimit), which Windows does not have";
#else
    log_.log_on(true, 10000);
    enable_all(true, false);
    log_numbered(0, 10000);
    const std::string path = dir_.file("limited.txt");
    EXPECT_EXIT(std::_Exit(save_with_size_limit(path, 4096)), ::testing::ExitedWithCode(10), "");
    struct stat info = {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_LE(info.st_size, 4096);
#endif
}

// Several threads log while saves run: every saved line must be whole, and
// each thread's lines must appear in the order it logged them.
TEST_F(FrameLogTest, SavesWhileThreadsLogSeeOnlyWholeLines) {
    constexpr int kThreads = 4;
    constexpr int kLinesPerThread = 100000;
    log_.log_on(true, 16384);
    enable_all(true, true);
    std::atomic<int> done{0};
    std::atomic<int> callbacks{0};
    static std::atomic<int>* counter = nullptr;
    counter = &callbacks;
    log_.set_callback([](const char*) { counter->fetch_add(1, std::memory_order_relaxed); });

    std::vector<std::thread> loggers;
    for (int t = 0; t < kThreads; ++t) {
        loggers.emplace_back([this, t, &done] {
            // Frame lengths vary so that slot texts change size when reused.
            uint8_t frame[12] = {static_cast<uint8_t>(0x10 + t)};
            for (int i = 0; i < kLinesPerThread; ++i) {
                frame[1] = static_cast<uint8_t>(i >> 16);
                frame[2] = static_cast<uint8_t>(i >> 8);
                frame[3] = static_cast<uint8_t>(i);
                log_.log_frame(frame, 4 + (i % 9), t % 2 == 0);
            }
            done.fetch_add(1);
        });
    }

    int saves = 0;
    int saves_while_logging = 0;
    std::vector<std::string> files;
    while (done.load() < kThreads || saves < 3) {
        if (done.load() < kThreads) ++saves_while_logging;
        files.push_back(dir_.file("concurrent_" + std::to_string(saves++) + ".txt"));
        ASSERT_EQ(log_.save(files.back().c_str()), 0);
    }
    std::printf("%d saves, %d of them begun while threads logged\n", saves, saves_while_logging);
    for (auto& th : loggers) th.join();

    EXPECT_EQ(log_.lines_logged(), uint64_t{kThreads} * kLinesPerThread);
    EXPECT_EQ(callbacks.load(), kThreads * kLinesPerThread);

    for (const auto& file : files) {
        std::map<int, long> last_number;
        for (const auto& line : read_lines(file)) {
            // "Send: " or "Recv: ", 4..12 bytes, " = ok".
            ASSERT_GE(line.size(), 6u + 3 * 4 + 5) << file;
            ASSERT_TRUE(line.compare(0, 6, "Send: ") == 0 || line.compare(0, 6, "Recv: ") == 0) << line;
            ASSERT_EQ(line.compare(line.size() - 5, 5, " = ok"), 0) << line;
            const std::string bytes = line.substr(6, line.size() - 11);
            ASSERT_EQ(bytes.size() % 3, 0u) << line;
            std::vector<int> values;
            for (std::size_t i = 0; i < bytes.size(); i += 3) {
                ASSERT_EQ(bytes[i], ' ') << line;
                values.push_back(std::stoi(bytes.substr(i + 1, 2), nullptr, 16));
            }
            const int thread = values[0] - 0x10;
            ASSERT_TRUE(thread >= 0 && thread < kThreads) << line;
            ASSERT_EQ(line[0] == 'S', thread % 2 == 0) << line;
            const long number = (values[1] << 16) | (values[2] << 8) | values[3];
            ASSERT_EQ(values.size(), static_cast<std::size_t>(4 + number % 9)) << line;
            auto it = last_number.find(thread);
            if (it != last_number.end()) {
                ASSERT_GT(number, it->second) << file;
            }
            last_number[thread] = number;
        }
    }
    log_.set_callback(nullptr);
}

}  // namespace
}  // namespace morvx
