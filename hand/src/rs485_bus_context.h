// RS485 bus context: the one worker that puts every frame of a line on the
// wire (requests before polls, at least 30 ms apart), the registry of the
// hands on the line, and the receive path that routes each reply the framing
// unit (rs485_framing.h) cuts from the stream to its hand by node id.
// Shared by the RS485SharedBus object (or the hand that made it private) and
// every hand attached to it.
#ifndef MORVANE_RS485_BUS_CONTEXT_H
#define MORVANE_RS485_BUS_CONTEXT_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "morvane/morvane.h"
#include "protocol_helpers.h"
#include "rs485_framing.h"

namespace morvx {

struct HandCore;

// One attached hand. The hand holds the only lasting strong reference; the
// context holds weak ones.
class RS485NodeEndpoint {
public:
    RS485NodeEndpoint(HandCore* owner, uint8_t node_id) : owner(owner), node_id(node_id) {}
    std::mutex mutex;          // guards owner; held while the owner's poll provider or frame handler runs
    HandCore* owner;           // cleared (under mutex) when the hand detaches
    const uint8_t node_id;
    std::atomic<uint8_t> poll_state{0};  // non-zero: the worker polls this hand (release/acquire)
};

// How the context reaches the hand behind an endpoint's owner. Both run with
// the endpoint's mutex held; the poll provider on the worker thread, the frame
// handler on the thread that fed the bytes in (on the worker when it ends an
// exchange at a silence that the feeding thread does not report). The default set calls the hand
// object's own poll provider and RS485 frame handler (rs485_hand_hooks.cpp);
// tests install their own to drive the context without a hand.
struct RS485HandHooks {
    // Fills the function code and payload of a status poll; false: no poll now.
    bool (*provide_poll)(HandCore* owner, uint16_t& function_code, std::vector<uint8_t>& payload);
    // One complete received wire frame, already checked by the framing unit
    // and routed by its node id; returns a result code.
    int (*handle_frame)(HandCore* owner, ByteView frame);
};

class RS485SharedBusContext {
public:
    // Starts the worker; throws std::system_error when the thread cannot start.
    RS485SharedBusContext();
    // Same, with the given way to reach the hands (both hooks must be set).
    explicit RS485SharedBusContext(const RS485HandHooks& hooks);
    // close(), then members are destroyed.
    ~RS485SharedBusContext();
    RS485SharedBusContext(const RS485SharedBusContext&) = delete;
    RS485SharedBusContext& operator=(const RS485SharedBusContext&) = delete;

    // Replaces the line's send function (a copy; empty: requests fail, no
    // polls). Any thread; the worker uses the new one from its next frame on.
    void set_send_function(send_data_callback fn);
    // True when the endpoint is now (or already was) the one registered for its
    // node id; false for a null endpoint, a closed context, or a node id held
    // by another live endpoint. Hand set-up calls.
    bool register_endpoint(const std::shared_ptr<RS485NodeEndpoint>& ep);
    // Removes it (an entry of another live endpoint stays), stops its polling
    // and fails its queued requests; other hands' requests keep their order.
    void unregister_endpoint(const std::shared_ptr<RS485NodeEndpoint>& ep);
    // Non-zero: the worker polls this hand. Any thread, including one that
    // holds the endpoint's mutex.
    void set_poll_state(const std::shared_ptr<RS485NodeEndpoint>& ep, uint8_t state);
    // Replaces payload with the complete wire frame (in every outcome); unless
    // dry_run, queues it and waits (no time-out) for the worker's result.
    // True: dry run, or the send function accepted the frame. False: null
    // endpoint, closed context, hand detached or unregistered before its turn,
    // send function empty, refusing or throwing, or called on the worker
    // itself (from the send function or a frame handler it runs), which would
    // wait for itself.
    bool submit_request(const std::shared_ptr<RS485NodeEndpoint>& ep, uint16_t function_code, uint8_t node_id,
                        std::vector<uint8_t>& payload, bool dry_run);
    // Receive thread: appends the bytes (the caller keeps them), cuts complete
    // replies out and hands each to the endpoint of its node id, in arrival
    // order. 1 data null, 5 closed (bytes not kept); else the first non-zero
    // frame handler result, or 0 (unknown node ids are dropped).
    //
    // len 0 reports a read of the line that returned nothing. Once such
    // reports show the line silent for 20 ms, the exchange ends: a frame still
    // short of bytes is dropped and the intact frames among the bytes held are
    // delivered (on this thread). A context that never gets such a report
    // ends the exchange on its worker 50 ms after the last bytes instead.
    int receive_bytes(const uint8_t* data, std::size_t len);
    bool is_open();
    // Requests queued and not yet taken by the worker (diagnostics and tests).
    std::size_t queued_requests();
    // Stops the worker and fails every waiting request; idempotent. Called
    // from the send function itself, it does not wait for the worker (which
    // ends on its own once the send function returns).
    void close();

private:
    struct Impl;
    // Shared with the worker thread, so that a context released on the worker
    // itself (from inside the send function) stays valid until the worker ends.
    std::shared_ptr<Impl> impl_;
};

}  // namespace morvx

#endif  // MORVANE_RS485_BUS_CONTEXT_H
