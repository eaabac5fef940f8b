// Frame log ring, filters, callback and text-file save.
#include "frame_log.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <new>
#include <thread>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#endif

namespace morvx {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Creates `path` for writing as a text stream ("\n" ends a line as the
// platform's text files do: CR LF on Windows); null with errno EEXIST when
// the file exists. msvcrt ignores fopen's "x", so Windows creates the file
// with O_EXCL and puts the stream on that descriptor.
std::FILE* create_text_file(const char* path) {
#ifdef _WIN32
    const int fd = _open(path, _O_CREAT | _O_EXCL | _O_WRONLY | _O_TEXT, _S_IREAD | _S_IWRITE);
    if (fd < 0) return nullptr;
    std::FILE* file = _fdopen(fd, "w");
    if (file == nullptr) {
        const int error = errno;
        _close(fd);
        errno = error;
    }
    return file;
#else
    return std::fopen(path, "wx");
#endif
}
constexpr int kFilterWords = 4;

// One line of the ring. `busy` is held only while the text is replaced or
// copied, so a save never reads a text that a logging thread is rewriting.
// `line` is the number of the line the text belongs to: it lets a save tell a
// claimed slot whose writer has not finished yet from one already reused.
struct Slot {
    std::atomic<bool> busy{false};
    bool filled = false;
    uint64_t line = 0;
    std::string text;
};

class SlotGuard {
public:
    explicit SlotGuard(Slot& slot) : slot_(slot) {
        unsigned spins = 0;
        while (slot_.busy.exchange(true, std::memory_order_acquire)) {
            if (++spins > 64) std::this_thread::yield();
        }
    }
    ~SlotGuard() { slot_.busy.store(false, std::memory_order_release); }
    SlotGuard(const SlotGuard&) = delete;
    SlotGuard& operator=(const SlotGuard&) = delete;

private:
    Slot& slot_;
};

void format_line(const uint8_t* data, std::size_t len, bool sent, std::string& line) {
    line.reserve(3 * len + 11);
    line.append(sent ? "Send: " : "Recv: ");
    for (std::size_t i = 0; i < len; ++i) {
        line.push_back(' ');
        line.push_back(kHexDigits[data[i] >> 4]);
        line.push_back(kHexDigits[data[i] & 0x0F]);
    }
    line.append(" = ok");
}

}  // namespace

struct FrameLog::Impl {
    std::unique_ptr<Slot[]> ring{new Slot[kRingLines]};
    // Counted in 64 bits so that line numbers never wrap within a process.
    std::atomic<uint64_t> head{0};
    std::atomic<uint64_t> clear_mark{0};
    std::atomic<uint64_t> send_filter[kFilterWords] = {};
    std::atomic<uint64_t> recv_filter[kFilterWords] = {};
    std::atomic<int32_t> save_count{kDefaultSaveCount};
    std::atomic<bool> enabled{false};
    std::atomic<void (*)(const char*)> callback{nullptr};

    std::atomic<uint64_t>* filter(bool send) { return send ? send_filter : recv_filter; }
    const std::atomic<uint64_t>* filter(bool send) const { return send ? send_filter : recv_filter; }

    // Copies line number `line` out of its slot. Waits while the line's
    // writer has claimed the slot but not filled it; false when the slot has
    // already been reused for a newer line.
    bool read_line(uint64_t line, std::string& out) {
        Slot& slot = ring[line % kRingLines];
        for (;;) {
            {
                SlotGuard guard(slot);
                if (slot.filled && slot.line == line) {
                    out.assign(slot.text);
                    return true;
                }
                if (slot.filled && slot.line > line) return false;
            }
            std::this_thread::yield();
        }
    }
};

FrameLog::FrameLog() : impl_(new Impl) {}
FrameLog::~FrameLog() = default;

void FrameLog::log_frame(const uint8_t* data, std::size_t len, bool sent) {
    Impl& d = *impl_;
    if (!d.enabled.load(std::memory_order_relaxed) || len == 0 || data == nullptr) return;
    const uint8_t code = data[0];
    const uint64_t word = d.filter(sent)[code >> 6].load(std::memory_order_relaxed);
    if (((word >> (code & 63)) & 1u) == 0) return;

    std::string line;
    try {
        format_line(data, len, sent, line);
    } catch (const std::bad_alloc&) {
        return;  // no memory for the text: the frame goes unlogged
    }

    const uint64_t number = d.head.fetch_add(1, std::memory_order_relaxed);
    Slot& slot = d.ring[number % kRingLines];
    {
        SlotGuard guard(slot);
        // Two writers 16384 lines apart may race for one slot: the newer wins.
        if (!slot.filled || slot.line < number) {
            try {
                slot.text.assign(line);
            } catch (const std::bad_alloc&) {
                slot.text.clear();
            }
            slot.line = number;
            slot.filled = true;
        }
    }

    // The callback gets the caller's own copy, so a slot reused meanwhile
    // cannot change the text under it.
    if (auto fn = d.callback.load(std::memory_order_acquire)) fn(line.c_str());
}

void FrameLog::log_on(bool on, int save_count) {
    impl_->save_count.store(save_count);
    impl_->enabled.store(on);
}

int FrameLog::set_filter(bool send_filter, const int* codes, int count) {
    if (codes == nullptr || count <= 0) return 1;
    std::atomic<uint64_t>* words = impl_->filter(send_filter);
    for (int i = 0; i < count; ++i) {
        const int code = codes[i];
        if (code < 0 || code > 255) continue;
        words[code >> 6].fetch_or(uint64_t{1} << (code & 63));
    }
    return 0;
}

void FrameLog::reset(bool send_filter, bool recv_filter) {
    for (int w = 0; w < kFilterWords; ++w) {
        if (send_filter) impl_->send_filter[w].store(0);
        if (recv_filter) impl_->recv_filter[w].store(0);
    }
}

void FrameLog::clear() {
    impl_->clear_mark.store(impl_->head.load(std::memory_order_acquire), std::memory_order_release);
}

int FrameLog::save(const char* path) {
    if (path == nullptr) return 1;
    if (std::FILE* existing = std::fopen(path, "r")) {
        std::fclose(existing);
        return 9;
    }
    // Exclusive create, so a file that appears meanwhile (or that exists
    // without read permission) is never overwritten.
    std::FILE* file = create_text_file(path);
    if (file == nullptr) return errno == EEXIST ? 9 : 10;

    Impl& d = *impl_;
    const uint64_t head = d.head.load(std::memory_order_acquire);
    const uint64_t mark = d.clear_mark.load(std::memory_order_acquire);
    const int32_t count = d.save_count.load();
    // A negative count saves nothing.
    const uint64_t n = count <= 0 ? 0 : std::min<uint64_t>(static_cast<uint64_t>(count), kRingLines);
    uint64_t first = head > n ? head - n : 0;
    first = std::max(first, mark);

    bool failed = false;
    try {
        std::string text;
        for (uint64_t i = first; i < head && !failed; ++i) {
            if (!d.read_line(i, text)) continue;  // overwritten during the save
            if (std::fputs(text.c_str(), file) < 0 || std::fputc('\n', file) == EOF) failed = true;
        }
    } catch (...) {
        failed = true;
    }
    if (std::ferror(file)) failed = true;
    if (std::fclose(file) != 0) failed = true;
    return failed ? 10 : 0;
}

void FrameLog::set_callback(void (*fn)(const char*)) {
    impl_->callback.store(fn, std::memory_order_release);
}

uint64_t FrameLog::filter_word(bool send_filter, int word) const {
    if (word < 0 || word >= kFilterWords) return 0;
    return impl_->filter(send_filter)[word].load();
}

void FrameLog::set_filter_word(bool send_filter, int word, uint64_t bits) {
    if (word < 0 || word >= kFilterWords) return;
    impl_->filter(send_filter)[word].store(bits);
}

bool FrameLog::enabled() const { return impl_->enabled.load(); }
int FrameLog::save_count() const { return impl_->save_count.load(); }
uint64_t FrameLog::lines_logged() const { return impl_->head.load(std::memory_order_acquire); }

}  // namespace morvx
