// ESC register addresses and bits the master uses.
#ifndef ETHERCAT_ESC_REGISTERS_H
#define ETHERCAT_ESC_REGISTERS_H

#include <cstdint>

namespace ecat {
namespace reg {
const uint16_t kType = 0x0000;
const uint16_t kPortDescriptor = 0x0007;
const uint16_t kEscFeatures = 0x0008;
const uint16_t kStationAddress = 0x0010;
const uint16_t kStationAlias = 0x0012;
const uint16_t kDlControl = 0x0100;
const uint16_t kLoopControl = 0x0101;
const uint16_t kDlAlias = 0x0103;
const uint16_t kDlStatus = 0x0110;
const uint16_t kAlControl = 0x0120;
const uint16_t kAlStatus = 0x0130;
const uint16_t kPdiControl = 0x0140;
const uint16_t kEventMask = 0x0200;
const uint16_t kRxErrors = 0x0300;
const uint16_t kEepromConfig = 0x0500;
const uint16_t kEepromControl = 0x0502;
const uint16_t kEepromData = 0x0508;
const uint16_t kFmmu0 = 0x0600;
const uint16_t kSm0 = 0x0800;
const uint16_t kDcReceiveTimePort0 = 0x0900;
const uint16_t kDcSystemTime = 0x0910;
const uint16_t kDcReceiveTimeUnit = 0x0918;
const uint16_t kDcSystemOffset = 0x0920;
const uint16_t kDcSystemDelay = 0x0928;
const uint16_t kDcSpeedStart = 0x0930;
const uint16_t kDcFilterDepth = 0x0934;
const uint16_t kDcSyncActivation = 0x0981;

const uint16_t kEscFeatureDc = 0x0004;
// EEPROM control/status word.
const uint16_t kEepromRead8Bytes = 0x0040;
const uint16_t kEepromCmdRead = 0x0100;
const uint16_t kEepromErrorMask = 0x7800;
const uint16_t kEepromNack = 0x2000;
const uint16_t kEepromBusy = 0x8000;
}  // namespace reg

// Datagram command codes.
enum Command : uint8_t {
  kNop = 0, kAprd = 1, kApwr = 2, kAprw = 3, kFprd = 4, kFpwr = 5, kFprw = 6,
  kBrd = 7, kBwr = 8, kBrw = 9, kLrd = 10, kLwr = 11, kLrw = 12, kArmw = 13, kFrmw = 14,
};

// First station address handed out; slave i gets kNodeOffset + i.
const uint16_t kNodeOffset = 0x1000;

}  // namespace ecat

#endif
