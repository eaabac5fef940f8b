// Frame log: a ring of the newest 16384 text lines, one per sent or received
// frame whose first byte is enabled in the direction's filter.
// log_frame may run on any thread at once (commands, receive thread, monitor);
// it takes no shared lock: each line claims its own slot with one atomic
// add, and only that slot is briefly held while its text is replaced.
#ifndef MORVANE_FRAME_LOG_H
#define MORVANE_FRAME_LOG_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace morvx {

class FrameLog {
public:
    static constexpr uint32_t kRingLines = 16384;
    static constexpr int kDefaultSaveCount = 10000;

    FrameLog();
    ~FrameLog();
    FrameLog(const FrameLog&) = delete;
    FrameLog& operator=(const FrameLog&) = delete;

    // "Send: " / "Recv: ", " XX" per byte, " = ok". Null data or len 0: nothing.
    // The callback, when set, gets the line on the calling thread; the text is
    // valid only during the call.
    void log_frame(const uint8_t* data, std::size_t len, bool sent);

    // save_count is how many of the newest lines save() writes (negative: none).
    void log_on(bool on, int save_count);
    // Adds codes 0..255 to a filter; others skipped. 1: codes null or count < 1.
    int set_filter(bool send_filter, const int* codes, int count);
    void reset(bool send_filter, bool recv_filter);
    // Lines logged so far are excluded from later saves; the ring keeps them.
    void clear();
    // Writes the newest lines since the last clear(), oldest first, one per
    // line, to a file that must not exist yet. Safe while other threads log.
    // 0 written, 1 null path, 9 file exists, 10 cannot create or write.
    int save(const char* path);
    // Null switches the callback off.
    void set_callback(void (*fn)(const char*));

    // Copies of filter words, for copying one hand's configuration to another.
    uint64_t filter_word(bool send_filter, int word) const;
    void set_filter_word(bool send_filter, int word, uint64_t bits);

    bool enabled() const;
    int save_count() const;
    // Number of lines logged since construction.
    uint64_t lines_logged() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace morvx

#endif  // MORVANE_FRAME_LOG_H
