// Bus kinds of a hand object and what each bus does with the hand's requests.
//
// HandCore::bus_kind holds one of these values (or any other number initial()
// was given, which no bus answers to). It stays the one record of the bus:
// initial() sets it, and so does a model-code reply from the device on the
// receive thread. The profile is therefore looked up from bus_kind where a
// request is dispatched, once per request, never kept beside it.
#ifndef MORVANE_BUS_PROFILE_H
#define MORVANE_BUS_PROFILE_H

#include <cstdint>

#include "morvane/morvane.h"

namespace morvx {

struct HandCore;

// The communication types of initial(), by name.
enum BusKind : int32_t {
    kBusNone = COMM_NONE,
    kBusEthercat = COMM_ETHERCAT,
    kBusCanfd = COMM_CANFD,
    kBusRs485 = COMM_RS485,
    kBusCan = COMM_CAN,
};

// Request types of the command encoders.
enum RequestType : int {
    kReportSelection = 0,
    kModeCommand = 1,
    kMotion = 2,
    kGesture = 3,
};
constexpr int kRequestTypeCount = 4;

struct BusProfile {
    BusKind kind;
    // Request types this bus carries, by RequestType. RS485 and classic CAN
    // carry no report selection (the hand is polled there), classic CAN no
    // gesture.
    bool carries[kRequestTypeCount];
    // Builds one carried request type, logs it, keeps it for the pre-send
    // getter and hands it to the bus's send path. Called only for this bus.
    int (*encode)(HandCore& h, int request_type);
    // Pause the hand's controller needs between two requests: RS485 frames
    // share one half-duplex line, and the classic CAN servos answer slowly.
    int pause_ms;
    // Drive-parameter and OTA frames exist on this bus.
    bool carries_params;
};

// Pause between requests when the hand is on no known bus.
constexpr int kDefaultPauseMs = 5;

// The profile of a bus kind; null for kBusNone and any unknown value.
const BusProfile* bus_profile(int32_t kind);

// True on the buses that carry drive-parameter and OTA frames (CAN-FD, RS485).
inline bool carries_params(int32_t kind) {
    const BusProfile* bus = bus_profile(kind);
    return bus != nullptr && bus->carries_params;
}

// One request type on the given bus: its encoder when the bus carries the
// type, else nothing (result 0).
int build_request(HandCore& h, const BusProfile* bus, int request_type);

}  // namespace morvx

#endif  // MORVANE_BUS_PROFILE_H
