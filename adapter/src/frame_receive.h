// Receive side: polling the read pipe into the slot's receive ring.
#ifndef TAVRIX_FRAME_RECEIVE_H
#define TAVRIX_FRAME_RECEIVE_H

#include <cstddef>
#include <cstdint>

#include "slot_table.h"

namespace tavrix {

// Splits the payload of a frame batch (payload words, n of them) into records
// and pushes them to the ring. Records that claim more words than remain are
// dropped together with the rest of the batch. Returns the number of records
// seen (pushed or dropped because the ring was full); *last gets the last one.
size_t unpack_frame_batch(const uint8_t* payload, size_t n_words, bool compact, ReceiveRing* ring,
                          WireRecord* last);

// Handles one read of the read pipe (what a poll does with each reply).
// Returns true when the poll should read again.
bool handle_poll_read(Slot& slot, const uint8_t* data, size_t length);

// Up to 10 reads with the given read time-out; the caller holds the receive
// lock. -1 when the slot is refused, else 0.
int poll(int index, uint32_t timeout_ms);

}  // namespace tavrix

#endif  // TAVRIX_FRAME_RECEIVE_H
