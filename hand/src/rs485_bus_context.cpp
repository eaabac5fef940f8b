#include "rs485_bus_context.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "hand_core.h"

namespace morvx {

namespace {

using Clock = std::chrono::steady_clock;

// Pause after a transmission, counted from the send function's return, and the
// short step taken when a turn ended without anything put on the line.
constexpr std::chrono::milliseconds kSendSpacing{30};
constexpr std::chrono::milliseconds kIdleStep{1};

// Frames never span a silence of the line. RS485 protocols delimit frames by
// the line's silence (Modbus RTU, with the same CRC, by 3.5 character times:
// 70 us at 500000 baud), but here the bytes come through USB-serial
// converters, which hold received bytes until a USB packet fills or their
// latency timer runs out (16 ms by default on FTDI chips): the host sees gaps
// of up to about 17 ms inside one reply. 20 ms stays above that and under the
// 30 ms between two transmissions, so the frame start a stray byte opened at
// the turn of the line is given up within its own exchange.
constexpr std::chrono::milliseconds kLineSilence{20};
// A caller that never reports its empty reads leaves the silence to the
// worker, which can only see when bytes were last fed: a reader that is held
// up looks like a silent line to it. So it waits longer, still well inside a
// parameter read's 200 ms.
constexpr std::chrono::milliseconds kUnreportedSilence{50};
constexpr Clock::time_point kNever = Clock::time_point::max();

struct RS485Request {
    std::vector<uint8_t> frame;
    std::weak_ptr<RS485NodeEndpoint> endpoint;
    std::shared_ptr<std::promise<bool>> result;
};

// Fulfils a request's promise once; a second fulfilment is ignored.
void complete_request(const std::shared_ptr<std::promise<bool>>& result, bool value) {
    if (!result) return;
    try {
        result->set_value(value);
    } catch (const std::future_error&) {
    }
}

using EndpointMap = std::map<uint8_t, std::weak_ptr<RS485NodeEndpoint>>;

bool is_pollable(const std::shared_ptr<RS485NodeEndpoint>& ep) {
    return ep && ep->poll_state.load(std::memory_order_acquire) != 0;
}

// First live endpoint in [first, last) whose hand wants polling; erases nothing.
std::shared_ptr<RS485NodeEndpoint> find_pollable(EndpointMap::iterator first, EndpointMap::iterator last) {
    for (; first != last; ++first) {
        std::shared_ptr<RS485NodeEndpoint> ep = first->second.lock();
        if (is_pollable(ep)) return ep;
    }
    return nullptr;
}

}  // namespace

struct RS485SharedBusContext::Impl {
    explicit Impl(const RS485HandHooks& h) : hooks(h) {}

    const RS485HandHooks hooks;

    std::mutex state_mutex;
    std::condition_variable state_changed;
    // Guarded by state_mutex:
    bool closed = false;
    send_data_callback send_function;
    std::deque<RS485Request> requests;
    EndpointMap endpoints;
    uint8_t poll_cursor = 0;
    Clock::time_point next_send_time{};  // the clock's epoch: the first frame goes out at once
    std::thread worker;                  // set before the worker can send anything
    std::thread::id worker_id;

    Clock::time_point silence_check_at = kNever;  // when the worker looks for an unreported silence

    // Held while bytes are cut and while the frames cut from them are
    // dispatched, so frames reach their hands in stream order whichever thread
    // cut them (the receive thread, or the worker at an unreported silence).
    // Taken before state_mutex or an endpoint's mutex, never after.
    std::mutex receive_mutex;
    // Guarded by receive_mutex:
    RS485FrameCutter cutter;
    RS485CutFrames frames;
    Clock::time_point last_bytes_at{};
    Clock::time_point last_empty_read_at = Clock::time_point::min();  // min: none since the last bytes
    bool caller_reports_empty_reads = false;
    bool silence_check_armed = false;

    // ---- worker side ----------------------------------------------------------
    bool any_pollable_locked();
    std::shared_ptr<RS485NodeEndpoint> next_endpoint_to_poll_locked();
    bool transmit(const std::vector<uint8_t>& frame);
    void drain_requests();
    static void worker_loop(std::shared_ptr<Impl> self);

    // ---- receive side (receive_mutex held) -----------------------------------
    int take_bytes(const uint8_t* data, std::size_t len, Clock::time_point now);
    int note_empty_read(Clock::time_point now);
    int end_exchange();
    int dispatch_frames();
    int dispatch_frame(const uint8_t* frame, std::size_t len);
    void arm_silence_check(Clock::time_point at);
    // Worker: ends the exchange when bytes wait and none came for
    // kUnreportedSilence from a caller that does not report empty reads.
    void check_unreported_silence();
};

bool RS485SharedBusContext::Impl::any_pollable_locked() {
    for (auto it = endpoints.begin(); it != endpoints.end();) {
        std::shared_ptr<RS485NodeEndpoint> ep = it->second.lock();
        if (!ep) {
            it = endpoints.erase(it);
            continue;
        }
        if (is_pollable(ep)) return true;
        ++it;
    }
    return false;
}

// Round robin in ascending node id: first the hands above the one polled last,
// then wrap around to the lowest (which includes the last one itself).
std::shared_ptr<RS485NodeEndpoint> RS485SharedBusContext::Impl::next_endpoint_to_poll_locked() {
    if (endpoints.empty()) return nullptr;
    auto above = endpoints.upper_bound(poll_cursor);
    std::shared_ptr<RS485NodeEndpoint> ep = find_pollable(above, endpoints.end());
    if (!ep) ep = find_pollable(endpoints.begin(), above);
    if (ep) poll_cursor = ep->node_id;
    return ep;
}

// The send function is copied under the lock and called outside it, so the
// caller may replace it meanwhile. A throwing send function counts as a
// refused frame: the worker must survive it and its waiters must get an answer.
bool RS485SharedBusContext::Impl::transmit(const std::vector<uint8_t>& frame) {
    try {
        send_data_callback fn;
        {
            std::lock_guard<std::mutex> lock(state_mutex);
            fn = send_function;
        }
        if (!fn) return false;
        return fn(frame.data(), static_cast<unsigned>(frame.size()));
    } catch (...) {
        return false;
    }
}

void RS485SharedBusContext::Impl::drain_requests() {
    std::deque<RS485Request> failed;
    {
        std::lock_guard<std::mutex> lock(state_mutex);
        failed.swap(requests);
    }
    for (RS485Request& r : failed) complete_request(r.result, false);
}

void RS485SharedBusContext::Impl::worker_loop(std::shared_ptr<Impl> self) {
    Impl& s = *self;
    // A poll's payload and frame keep their storage from one poll to the next.
    std::vector<uint8_t> payload, frame;
    std::unique_lock<std::mutex> lock(s.state_mutex);
    // Waits for a change, or until `at` when there is one.
    const auto wait_until = [&s, &lock](Clock::time_point at) {
        if (at == kNever)
            s.state_changed.wait(lock);
        else
            s.state_changed.wait_until(lock, at);
    };
    for (;;) {
        bool have_request = false;
        bool silence_check = false;
        RS485Request request;
        std::shared_ptr<RS485NodeEndpoint> poll_target;
        while (!s.closed) {
            const Clock::time_point now = Clock::now();
            if (now >= s.silence_check_at) {
                s.silence_check_at = kNever;
                silence_check = true;
                break;
            }
            const bool waiting = !s.requests.empty();
            // With no send function the endpoint map is not scanned at all.
            const bool pollable = !waiting && s.send_function && s.any_pollable_locked();
            if (!waiting && !pollable) {
                wait_until(s.silence_check_at);
                continue;
            }
            if (now >= s.next_send_time) {
                if (waiting) {
                    request = std::move(s.requests.front());
                    s.requests.pop_front();
                    have_request = true;
                } else {
                    poll_target = s.next_endpoint_to_poll_locked();
                }
                break;
            }
            wait_until(std::min(s.next_send_time, s.silence_check_at));
        }
        if (s.closed) break;  // nothing was taken: closed is checked first
        lock.unlock();
        if (silence_check) {
            s.check_unreported_silence();
            lock.lock();
            continue;
        }

        bool sent = false;
        if (have_request) {
            bool result = false;
            if (std::shared_ptr<RS485NodeEndpoint> ep = request.endpoint.lock()) {
                bool owned;
                {
                    std::lock_guard<std::mutex> ep_lock(ep->mutex);
                    owned = ep->owner != nullptr;
                }
                if (owned) {
                    sent = true;
                    result = s.transmit(request.frame);
                }
            }
            complete_request(request.result, result);
        } else if (poll_target) {
            uint16_t function_code = 0;
            payload.clear();
            bool wanted = false;
            {
                std::lock_guard<std::mutex> ep_lock(poll_target->mutex);
                if (poll_target->owner && poll_target->poll_state.load(std::memory_order_acquire) != 0) {
                    try {
                        wanted = s.hooks.provide_poll(poll_target->owner, function_code, payload);
                    } catch (...) {
                        wanted = false;  // a failing provider only skips this turn
                    }
                }
            }
            if (wanted) {
                sent = true;
                try {
                    build_frame(function_code, poll_target->node_id, payload, frame);
                    s.transmit(frame);
                } catch (...) {
                    // Building the frame can only fail to allocate; the turn is spent.
                }
            }
        }
        poll_target.reset();
        request = RS485Request();

        lock.lock();
        s.next_send_time = Clock::now() + (sent ? kSendSpacing : kIdleStep);
    }
    lock.unlock();
    s.drain_requests();
}

int RS485SharedBusContext::Impl::take_bytes(const uint8_t* data, std::size_t len, Clock::time_point now) {
    last_bytes_at = now;
    last_empty_read_at = Clock::time_point::min();
    // Piece by piece; each piece's frames are dispatched before the next is cut.
    int result = kOk;
    while (len > 0) {
        const std::size_t taken = cutter.cut(data, len, frames);
        data += taken;
        len -= taken;
        const int r = dispatch_frames();
        if (result == kOk) result = r;
    }
    if (!caller_reports_empty_reads && cutter.holds_bytes() && !silence_check_armed)
        arm_silence_check(last_bytes_at + kUnreportedSilence);
    return result;
}

// An empty read shows the line silent from the last bytes up to the read; but
// a reader held up between its read and this call may have missed bytes that
// came meanwhile. The empty read before this one is safe: this call's read
// came after it. So the silence runs at least from the last bytes to that one.
int RS485SharedBusContext::Impl::note_empty_read(Clock::time_point now) {
    caller_reports_empty_reads = true;
    const bool silent = cutter.holds_bytes() && last_empty_read_at != Clock::time_point::min() &&
                        last_empty_read_at - last_bytes_at >= kLineSilence;
    last_empty_read_at = now;
    return silent ? end_exchange() : kOk;
}

int RS485SharedBusContext::Impl::end_exchange() {
    cutter.line_silent(frames);
    return dispatch_frames();
}

int RS485SharedBusContext::Impl::dispatch_frames() {
    int result = kOk;
    for (std::size_t i = 0; i < frames.count; ++i) {
        const int r = dispatch_frame(frames.bytes + frames.start[i], frames.length[i]);
        if (result == kOk) result = r;
    }
    return result;
}

void RS485SharedBusContext::Impl::arm_silence_check(Clock::time_point at) {
    silence_check_armed = true;
    {
        std::lock_guard<std::mutex> lock(state_mutex);
        silence_check_at = std::min(silence_check_at, at);
    }
    state_changed.notify_all();
}

void RS485SharedBusContext::Impl::check_unreported_silence() {
    std::unique_lock<std::mutex> lock(receive_mutex, std::try_to_lock);
    if (!lock) {
        // The receive thread is cutting or dispatching (it may even wait for
        // this worker inside a handler): bytes are flowing, look again later.
        std::lock_guard<std::mutex> state_lock(state_mutex);
        silence_check_at = std::min(silence_check_at, Clock::now() + kUnreportedSilence);
        return;
    }
    silence_check_armed = false;
    if (caller_reports_empty_reads || !cutter.holds_bytes()) return;
    const Clock::time_point due = last_bytes_at + kUnreportedSilence;
    if (Clock::now() < due) {
        arm_silence_check(due);
        return;
    }
    end_exchange();  // a caller that reports nothing has no use for the result
}

int RS485SharedBusContext::Impl::dispatch_frame(const uint8_t* frame, std::size_t len) {
    const uint8_t node_id = frame[1];  // every cut frame is intact, at least 6 bytes
    std::shared_ptr<RS485NodeEndpoint> ep;
    {
        std::lock_guard<std::mutex> lock(state_mutex);
        auto it = endpoints.find(node_id);
        if (it != endpoints.end()) ep = it->second.lock();
    }
    if (!ep) return kOk;  // nobody here answers to this node id
    std::lock_guard<std::mutex> ep_lock(ep->mutex);
    if (!ep->owner) return kOk;
    try {
        return hooks.handle_frame(ep->owner, ByteView(frame, len));
    } catch (...) {
        // The receive thread must survive a failing handler and still deliver
        // the frames behind this one.
        return kFrameRejected;
    }
}

// ---- RS485SharedBusContext ------------------------------------------------------

RS485SharedBusContext::RS485SharedBusContext(const RS485HandHooks& hooks) : impl_(std::make_shared<Impl>(hooks)) {
    // The worker holds its own reference to the state; it starts under the
    // lock so that worker/worker_id are set before it can look at them.
    std::lock_guard<std::mutex> lock(impl_->state_mutex);
    impl_->worker = std::thread(&Impl::worker_loop, impl_);
    impl_->worker_id = impl_->worker.get_id();
}

RS485SharedBusContext::~RS485SharedBusContext() {
    close();
}

void RS485SharedBusContext::set_send_function(send_data_callback fn) {
    {
        std::lock_guard<std::mutex> lock(impl_->state_mutex);
        impl_->send_function = std::move(fn);
    }
    impl_->state_changed.notify_all();
}

bool RS485SharedBusContext::register_endpoint(const std::shared_ptr<RS485NodeEndpoint>& ep) {
    if (!ep) return false;
    {
        std::lock_guard<std::mutex> lock(impl_->state_mutex);
        if (impl_->closed) return false;
        auto it = impl_->endpoints.find(ep->node_id);
        if (it != impl_->endpoints.end()) {
            std::shared_ptr<RS485NodeEndpoint> held = it->second.lock();
            if (held) return held == ep;  // false: the node id belongs to another live hand
            impl_->endpoints.erase(it);
        }
        impl_->endpoints.emplace(ep->node_id, ep);
    }
    impl_->state_changed.notify_all();
    return true;
}

void RS485SharedBusContext::unregister_endpoint(const std::shared_ptr<RS485NodeEndpoint>& ep) {
    if (!ep) return;
    std::deque<RS485Request> failed;
    {
        std::lock_guard<std::mutex> lock(impl_->state_mutex);
        auto it = impl_->endpoints.find(ep->node_id);
        if (it != impl_->endpoints.end()) {
            std::shared_ptr<RS485NodeEndpoint> held = it->second.lock();
            if (!held || held == ep) impl_->endpoints.erase(it);
        }
        std::deque<RS485Request> kept;
        for (RS485Request& r : impl_->requests) {
            if (r.endpoint.lock() == ep)
                failed.push_back(std::move(r));
            else
                kept.push_back(std::move(r));
        }
        impl_->requests.swap(kept);
    }
    ep->poll_state.store(0, std::memory_order_release);
    for (RS485Request& r : failed) complete_request(r.result, false);
    impl_->state_changed.notify_all();
}

void RS485SharedBusContext::set_poll_state(const std::shared_ptr<RS485NodeEndpoint>& ep, uint8_t state) {
    if (!ep) return;
    ep->poll_state.store(state, std::memory_order_release);
    // The store happens outside the lock; passing through the lock before the
    // notification makes sure a worker that has just found nothing to poll is
    // already waiting (and so wakes up) rather than about to wait.
    { std::lock_guard<std::mutex> lock(impl_->state_mutex); }
    impl_->state_changed.notify_all();
}

bool RS485SharedBusContext::submit_request(const std::shared_ptr<RS485NodeEndpoint>& ep, uint16_t function_code,
                                           uint8_t node_id, std::vector<uint8_t>& payload, bool dry_run) {
    std::vector<uint8_t> frame = build_frame(function_code, node_id, payload);
    payload = frame;  // the caller keeps the exact bytes put on the line
    if (dry_run) return true;
    // The worker would wait for itself: from its send function, or from a
    // hand's callback that a reply it delivered at a silence reached.
    if (!ep || std::this_thread::get_id() == impl_->worker_id) return false;

    auto result = std::make_shared<std::promise<bool>>();
    std::future<bool> done = result->get_future();
    {
        std::lock_guard<std::mutex> lock(impl_->state_mutex);
        if (impl_->closed) return false;
        impl_->requests.push_back(RS485Request{std::move(frame), ep, std::move(result)});
    }
    impl_->state_changed.notify_all();
    try {
        return done.get();
    } catch (const std::future_error&) {
        return false;  // promise broken
    }
}

int RS485SharedBusContext::receive_bytes(const uint8_t* data, std::size_t len) {
    if (!data) return kBadArgument;
    {
        std::lock_guard<std::mutex> lock(impl_->state_mutex);
        if (impl_->closed) return len == 0 ? kOk : kBusClosed;
    }
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(impl_->receive_mutex);
    return len == 0 ? impl_->note_empty_read(now) : impl_->take_bytes(data, len, now);
}

bool RS485SharedBusContext::is_open() {
    std::lock_guard<std::mutex> lock(impl_->state_mutex);
    return !impl_->closed;
}

std::size_t RS485SharedBusContext::queued_requests() {
    std::lock_guard<std::mutex> lock(impl_->state_mutex);
    return impl_->requests.size();
}

void RS485SharedBusContext::close() {
    {
        std::lock_guard<std::mutex> lock(impl_->state_mutex);
        if (impl_->closed) return;
        impl_->closed = true;
    }
    impl_->state_changed.notify_all();
    if (!impl_->worker.joinable()) return;
    if (std::this_thread::get_id() == impl_->worker_id) {
        // Closed (or released) from inside the send function: the worker
        // cannot join itself. It finishes its turn, sees closed, fails the
        // waiting requests and ends; its own reference keeps the state alive.
        impl_->worker.detach();
    } else {
        impl_->worker.join();
    }
}

}  // namespace morvx
