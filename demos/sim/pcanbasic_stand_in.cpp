// Test-only stand-in for the CAN interface library that pcan_demo loads on
// Windows: a DLL with the same seven operations at the same ordinals
// (pcanbasic_stand_in.def), forwarding to kitpcan's channel table over the
// simulated CAN bus, with the simulated 16-joint hand on channel 0x51
// (servo_hand_at_load.cpp). The receive event handed in is a Win32 event
// handle, which kitpcan's Windows events use as they are. Never installed.
#include <windows.h>

#include "kitpcan/pcan.h"

extern "C" {

kitpcan_status WINAPI standin_initialize(kitpcan_handle channel, uint16_t bitrate, uint8_t hw_type,
                                         uint32_t io_port, uint16_t interrupt) {
  return kitpcan_initialize(channel, bitrate, hw_type, io_port, interrupt);
}
kitpcan_status WINAPI standin_uninitialize(kitpcan_handle channel) { return kitpcan_uninitialize(channel); }
kitpcan_status WINAPI standin_reset(kitpcan_handle channel) { return kitpcan_reset(channel); }
kitpcan_status WINAPI standin_read(kitpcan_handle channel, kitpcan_message* message, kitpcan_timestamp* stamp) {
  return kitpcan_read(channel, message, stamp);
}
kitpcan_status WINAPI standin_write(kitpcan_handle channel, kitpcan_message* message) {
  return kitpcan_write(channel, message);
}
kitpcan_status WINAPI standin_get_value(kitpcan_handle channel, uint8_t parameter, void* buffer, uint32_t size) {
  return kitpcan_get_value(channel, parameter, buffer, size);
}
kitpcan_status WINAPI standin_set_value(kitpcan_handle channel, uint8_t parameter, void* buffer, uint32_t size) {
  return kitpcan_set_value(channel, parameter, buffer, size);
}

}  // extern "C"
