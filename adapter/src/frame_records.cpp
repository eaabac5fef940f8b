#include "frame_records.h"

#include <cstring>

#include "kitcanfd/length_code.h"

namespace tavrix {

size_t dlc_to_length(uint8_t dlc) { return kitcanfd::length_of_code(dlc); }

namespace {

uint32_t id_word(uint32_t id, uint8_t extended, uint8_t remote) {
  // Only the value 1 counts for both bytes.
  uint32_t w = (extended == 1) ? (id << 3) | 4u : id << 21;
  if (remote == 1) w |= 2u;
  return w;
}

uint32_t control_word(uint8_t dlc, uint8_t flags, uint8_t passed) {
  uint32_t c = static_cast<uint32_t>(dlc) << 7;
  uint8_t f = flags & passed;
  if (f & TAVRIX_FLAG_TX_10) c |= kTxCtrlFlag10;
  if (f & TAVRIX_FLAG_TX_20) c |= kTxCtrlFlag20;
  if (f & TAVRIX_FLAG_FD) c |= kTxCtrlFd;
  if (f & TAVRIX_FLAG_BRS) c |= kTxCtrlBrs;
  if (f & TAVRIX_FLAG_TX_40) c |= kTxCtrlFlag40;
  return c;
}

void data_to_words(const uint8_t* data, size_t length, uint32_t* words) {
  for (size_t i = 0; i < length / 4; ++i) {
    const uint8_t* p = data + 4 * i;
    words[i] = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
               static_cast<uint32_t>(p[3]) << 24;
  }
}

void words_to_data(const uint32_t* words, size_t length, uint8_t* data) {
  for (size_t i = 0; i < length / 4; ++i) {
    data[4 * i] = static_cast<uint8_t>(words[i]);
    data[4 * i + 1] = static_cast<uint8_t>(words[i] >> 8);
    data[4 * i + 2] = static_cast<uint8_t>(words[i] >> 16);
    data[4 * i + 3] = static_cast<uint8_t>(words[i] >> 24);
  }
}

// Fields shared by CAN_Frame and CANFD_Frame (offsets 0-15).
template <typename Frame>
void common_from_record(const WireRecord& rec, Frame* out, uint8_t* dlc_raw, uint8_t* flags) {
  uint32_t id = rec.words[0];
  uint32_t control = rec.words[2];
  out->remote = (id >> 1) & 1;
  out->extended = (id >> 2) & 1;
  out->id = out->extended ? id >> 3 : id >> 21;
  out->time_stamp = rec.words[1];
  BusStatusBits st = status_from_word(control);
  out->bus_state = st.bus_state;
  out->error_code = st.error_code;
  out->tx_error_count = st.tx_error_count;
  out->rx_error_count = st.rx_error_count;
  *dlc_raw = out->remote ? 0 : dlc_of_control(control);
  uint8_t f = 0;
  if (control & kRxCtrlFrameFlag) {
    f = (st.error_code != 0 || (control & kRxCtrlErrorFlag)) ? 0x03 : 0x01;
    if (id & 1u) f |= TAVRIX_FLAG_MARKER;
  }
  *flags = f;
}

}  // namespace

void record_from_can_frame(CAN_Frame* frame, uint8_t passed_flags, WireRecord* out) {
  if (frame->dlc > 8) frame->dlc = 8;
  std::memset(out, 0, sizeof(*out));
  out->words[0] = id_word(frame->id, frame->extended, frame->remote);
  out->words[1] = frame->time_stamp;
  out->words[2] = control_word(frame->dlc, frame->flags, passed_flags);
  data_to_words(frame->data, 8, out->words + 3);
}

void record_from_canfd_frame(CANFD_Frame* frame, uint8_t passed_flags, WireRecord* out) {
  if (frame->dlc > 15) frame->dlc = 15;
  out->words[0] = id_word(frame->id, frame->extended, frame->remote);
  out->words[1] = frame->time_stamp;
  out->words[2] = control_word(frame->dlc, frame->flags, passed_flags);
  data_to_words(frame->data, 64, out->words + 3);
}

void can_frame_from_record(const WireRecord& rec, CAN_Frame* out) {
  uint8_t dlc = 0, flags = 0;
  common_from_record(rec, out, &dlc, &flags);
  out->flags = flags;
  out->dlc = dlc > 8 ? 8 : dlc;
  words_to_data(rec.words + 3, 8, out->data);
}

void canfd_frame_from_record(const WireRecord& rec, bool fd_capable, CANFD_Frame* out) {
  uint8_t dlc = 0, flags = 0;
  common_from_record(rec, out, &dlc, &flags);
  uint32_t control = rec.words[2];
  if (fd_capable) {
    if (control & kRxCtrlFd) flags |= TAVRIX_FLAG_FD;
    if (control & kRxCtrlBrs) flags |= TAVRIX_FLAG_BRS;
  }
  out->flags = flags;
  bool fd_frame = fd_capable && (flags & TAVRIX_FLAG_FD);
  out->dlc = (!fd_frame && dlc > 8) ? 8 : dlc;
  words_to_data(rec.words + 3, 64, out->data);
}

BusStatusBits status_from_word(uint32_t w) {
  BusStatusBits s;
  s.bus_state = static_cast<uint8_t>(((w >> 8) & 0x30) | (w & 7));
  if ((w & 0x77) == 0) s.bus_state = static_cast<uint8_t>(s.bus_state + 8);
  s.tx_error_count = static_cast<uint8_t>(w >> 16);
  s.rx_error_count = static_cast<uint8_t>(w >> 24);
  s.error_code = (s.tx_error_count != 0 || s.rx_error_count != 0) ? static_cast<uint8_t>((w >> 4) & 7) : 0;
  return s;
}

BusStatusBits status_from_ack_word(uint32_t w) {
  BusStatusBits s;
  s.bus_state = static_cast<uint8_t>(((w >> 8) & 0xF0) | (w & 7));
  if ((w & 0x77) == 0) s.bus_state = static_cast<uint8_t>(s.bus_state + 8);
  s.tx_error_count = static_cast<uint8_t>(w >> 16);
  s.rx_error_count = static_cast<uint8_t>(w >> 24);
  s.error_code = static_cast<uint8_t>((w >> 4) & 7);
  return s;
}

}  // namespace tavrix
