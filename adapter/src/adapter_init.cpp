// CAN_Init and CANFD_Init: timing settle, init request, init reply.
#include <cstring>

#include "adapter_protocol.h"
#include "bit_timing.h"
#include "init_request.h"
#include "pipe_io.h"
#include "slot_table.h"
#include "word_frame.h"

namespace tavrix {

void classic_init_words(const CAN_InitConfig& c, uint32_t* words) {
  const bool wide = c.tseg1 > 15 || c.tseg2 > 15;
  words[1] = c.mode | static_cast<uint32_t>(c.sjw) << 8;
  if (wide) words[1] |= static_cast<uint32_t>(c.tseg1) << 16 | static_cast<uint32_t>(c.tseg2) << 24;
  words[2] = c.option;
  words[3] = c.prescaler;
  if (!wide) words[3] |= static_cast<uint32_t>((c.tseg1 << 4) | c.tseg2) << 16;
  words[4] = 0;
}

void fd_init_words(const CANFD_InitConfig& c, uint32_t* words) {
  words[1] = c.baud;
  words[2] = c.data_baud;
  words[3] = static_cast<uint32_t>(c.prescaler & 0xFF) | static_cast<uint32_t>(c.tseg1) << 8 |
             static_cast<uint32_t>(c.tseg2) << 16 | static_cast<uint32_t>(c.sjw) << 24;
  words[4] = static_cast<uint32_t>(c.data_prescaler) | static_cast<uint32_t>(c.data_tseg1) << 8 |
             static_cast<uint32_t>(c.data_tseg2) << 16 | static_cast<uint32_t>(c.data_sjw) << 24;
  words[5] = static_cast<uint32_t>(c.mode) | static_cast<uint32_t>(c.option) << 8 |
             static_cast<uint32_t>(c.fd_records) << 16 | static_cast<uint32_t>((c.prescaler >> 8) & 0xF) << 24;
  words[6] = 0;
}

namespace {

bool init_reply_ok(int index) {
  uint32_t reply[kMaxReplyWords];
  return await_reply(index, RSP_INIT, reply) == 1 && (reply[0] & 0xFF) == RSP_INIT;
}

}  // namespace
}  // namespace tavrix

using namespace tavrix;

extern "C" int TAVRIX_CALL CAN_Init(int index, CAN_InitConfig* config) {
  if (!slot_usable(index) || config == nullptr) return -1;
  Slot& slot = library().slots[index];
  flush(index);
  if (!slot.classic_remembered || std::memcmp(config, slot.remembered_classic, sizeof(CAN_InitConfig)) != 0) {
    std::memcpy(slot.remembered_classic, config, sizeof(CAN_InitConfig));
    slot.classic_remembered = true;
  } else if (slot.initialised && !slot.fd_records) {
    return 0;
  }
  slot.fd_remembered = false;
  const TimingLimits& limits = slot.type == 1 ? kNominalLimits : kClassicLimits;
  BitTiming settled = settle_timing(slot.clock_hz, limits,
                                    BitTiming{config->baud, config->prescaler, config->tseg1, config->tseg2, config->sjw});
  config->baud = settled.rate;
  config->prescaler = settled.prescaler;
  config->tseg1 = settled.tseg1;
  config->tseg2 = settled.tseg2;
  config->sjw = settled.sjw;
  if (settled.rate < 1000) return -1;
  uint32_t words[6] = {make_header(CMD_INIT, 0, 5)};
  classic_init_words(*config, words);
  if (!send_whole_request(index, words, 5)) return -1;
  if (!init_reply_ok(index)) return -1;
  slot.initialised = true;
  slot.fd_records = false;
  return 0;
}

extern "C" int TAVRIX_CALL CANFD_Init(int index, CANFD_InitConfig* config) {
  if (!slot_usable(index) || config == nullptr) return -1;
  Slot& slot = library().slots[index];
  if (slot.type != 1) return -1;
  flush(index);
  constexpr size_t kComparedBytes = 16;  // bit rates and timing
  if (!slot.fd_remembered || std::memcmp(config, slot.remembered_fd, kComparedBytes) != 0) {
    std::memcpy(slot.remembered_fd, config, sizeof(CANFD_InitConfig));
    slot.fd_remembered = true;
  } else if (slot.initialised && config->fd_records != 0) {
    slot.fd_records = true;
    return 0;
  }
  slot.classic_remembered = false;
  BitTiming nominal = settle_timing(slot.clock_hz, kNominalLimits,
                                    BitTiming{config->baud, config->prescaler, config->tseg1, config->tseg2, config->sjw});
  config->baud = nominal.rate;
  config->prescaler = nominal.prescaler;
  config->tseg1 = nominal.tseg1;
  config->tseg2 = nominal.tseg2;
  config->sjw = nominal.sjw;
  BitTiming data = settle_timing(
      slot.clock_hz, kDataLimits,
      BitTiming{config->data_baud, config->data_prescaler, config->data_tseg1, config->data_tseg2, config->data_sjw});
  config->data_baud = data.rate;
  config->data_prescaler = static_cast<uint8_t>(data.prescaler & 0xFF);
  config->data_tseg1 = data.tseg1;
  config->data_tseg2 = data.tseg2;
  config->data_sjw = data.sjw;
  uint32_t words[8] = {make_header(CMD_INIT, 0, 7)};
  fd_init_words(*config, words);
  if (!send_whole_request(index, words, 7)) return -1;
  if (!init_reply_ok(index)) return -1;
  slot.initialised = true;
  slot.fd_records = config->fd_records != 0;
  return 0;
}
