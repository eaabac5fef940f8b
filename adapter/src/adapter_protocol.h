// Command codes and fixed sizes of the adapter's USB protocol.
#ifndef TAVRIX_ADAPTER_PROTOCOL_H
#define TAVRIX_ADAPTER_PROTOCOL_H

#include <cstddef>
#include <cstdint>

namespace tavrix {

constexpr uint8_t CMD_INIT = 0x61;
constexpr uint8_t RSP_INIT = 0x62;
constexpr uint8_t CMD_SET_DEVICE_ID = 0x6A;
constexpr uint8_t CMD_GET_DEVICE_ID = 0x6B;
constexpr uint8_t RSP_DEVICE_ID = 0x6B;
constexpr uint8_t CMD_OPEN = 0x71;
constexpr uint8_t CMD_CLOSE = 0x72;
constexpr uint8_t CMD_RESET = 0x73;
constexpr uint8_t CMD_SET_FILTER = 0x74;
constexpr uint8_t CMD_GET_TIMESTAMP = 0x78;
constexpr uint8_t CMD_SET_TIMESTAMP = 0x79;
constexpr uint8_t RSP_TIMESTAMP = 0x7A;
constexpr uint8_t RSP_OPEN = 0x80;
constexpr uint8_t RSP_STATUS = 0x86;
constexpr uint8_t RSP_REFUSED = 0x8A;
constexpr uint8_t RSP_REFUSED_ALT = 0x90;
constexpr uint8_t CMD_GET_DEVICE_INFO = 0x9A;
constexpr uint8_t RSP_FRAMES = 0xA1;
constexpr uint8_t CMD_TRANSMIT = 0xA2;

constexpr uint8_t kOpenParam = 'X';
constexpr uint8_t kCompactPackingParam = 'Y';

constexpr uint16_t kAdapterVendorId = 0xA8FA;
constexpr uint16_t kAdapterProductId = 0x8598;

constexpr int kSlotCount = 100;
constexpr uint16_t kMaxReplyWords = 64;      // longest command reply accepted
constexpr uint16_t kMaxBatchWords = 5000;    // longest frame batch accepted
constexpr size_t kReadBufferBytes = 4096;
constexpr size_t kFlushReadBytes = 5000;
constexpr size_t kAckBufferBytes = 100;
constexpr size_t kAckRecordBytes = 10;
constexpr size_t kDeviceInfoBytes = 24;
constexpr size_t kMaxRequestPayloadBytes = 4096;
// Header word, payload, checksum word and the possible extra byte.
constexpr size_t kMaxRequestBytes = 4 + kMaxRequestPayloadBytes + 4 + 1;

constexpr uint32_t kDefaultPipeTimeoutMs = 1000;
constexpr uint32_t kFlushTimeoutMs = 20;
constexpr int kReplyAttempts = 10;
constexpr uint32_t kMinAdapterClockHz = 10000000;

}  // namespace tavrix

#endif  // TAVRIX_ADAPTER_PROTOCOL_H
