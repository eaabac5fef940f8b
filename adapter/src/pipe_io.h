// Transfers on a slot's three pipes, with the pipe-reset rule after
// failures, and the request / reply primitives built on them.
#ifndef TAVRIX_PIPE_IO_H
#define TAVRIX_PIPE_IO_H

#include <cstddef>
#include <cstdint>

#include "slot_table.h"

namespace tavrix {

// Sets a pipe's time-out on the USB layer when it differs from the remembered one.
void set_read_timeout(Slot& slot, uint32_t timeout_ms);

// One read from the read pipe (no reset handling there: the next call reads again).
bool read_from_read_pipe(Slot& slot, uint8_t* buffer, uint32_t length, uint32_t* got);
// One read from the acknowledgement pipe; failures follow the reset rule.
bool read_from_ack_pipe(int index, uint8_t* buffer, uint32_t length, uint32_t* got);
// One write to the write pipe; failures follow the reset rule. A write that
// moved fewer than length bytes is a failure (a time-out).
bool write_to_write_pipe(int index, const uint8_t* buffer, uint32_t length, uint32_t* written);

// Computes the checksum into words[n] (so words needs n+1 entries), writes the
// frame and returns the bytes written: 0 when the write failed, when there is
// no scan result or the index is not below the adapter count.
size_t send_request(int index, uint32_t* words, uint16_t n);
// send_request, true only when the whole request went out: a request cut
// short is not one the adapter will answer.
bool send_whole_request(int index, uint32_t* words, uint16_t n);

// Reads the read pipe until a reply with command byte code is accepted (up to
// 10 reads); copies its N words into reply (kMaxReplyWords entries) and
// returns N; -1 on a refusal reply or when no reply came.
int await_reply(int index, uint8_t code, uint32_t* reply);

// Drains the read and acknowledgement pipes and clears the bus status.
void flush(int index);

// 0 when an adapter with the slot's serial text is attached, 1 otherwise.
int adapter_present(int index);

}  // namespace tavrix

#endif  // TAVRIX_PIPE_IO_H
