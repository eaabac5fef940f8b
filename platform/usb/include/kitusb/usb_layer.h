// The kit's USB layer: exactly the USB operations the adapter library relies
// on (device list with serial text, open, pipe query, per-pipe time-outs,
// bulk transfers, pipe reset, control transfers, hot-plug notices).
// One backend is linked in: for real adapters usb_libusb.cpp (libusb-1.0,
// Linux) or usb_libusbk.cpp (libusbK.dll, loaded at run time, Windows); for
// tests and simulator builds the simulated adapter (sim/adapter), which the
// Windows tests reach through usb_libusbk.cpp and a stand-in libusbK.dll.
// Every backend answers every call alike, as stated below; the rules they
// share are in src/usb_rules.h.
#ifndef KITUSB_USB_LAYER_H
#define KITUSB_USB_LAYER_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kitusb {

// Error codes of the layer. The numbers are Windows error codes, those the
// adapter library was designed around, so callers can compare against them
// directly; the libusbK backend passes other Windows codes through as well.
enum class UsbError : int {
  kNone = 0,
  kGeneralFailure = 31,   // transfer failed on the bus (I/O error, stall, overflow)
  kInvalidArgument = 87,
  kTimeout = 121,
  kNotConnected = 1167,   // device gone
};

// Last error of the calling thread, set by every failing layer operation.
UsbError last_error();
void set_last_error(UsbError error);

// One entry of the device list: one interface of one attached device.
struct UsbDeviceEntry {
  uint16_t vendor_id = 0;
  uint16_t product_id = 0;
  uint8_t interface_number = 0;
  uint8_t driver_kind = 0;            // Windows: the driver it is bound to (0 libusbK, 1 libusb0, 2 WinUSB)
  std::string serial;                 // serial-number text, at most 255 characters
  std::shared_ptr<void> device_ref;   // backend's reference; keeps the device known
};

struct UsbControlSetup {
  uint8_t request_type = 0;
  uint8_t request = 0;
  uint16_t value = 0;
  uint16_t index = 0;
  uint16_t length = 0;
};

constexpr uint8_t kNoPipe = 0xFF;

// An opened device. Transfers are synchronous; a transfer may run on one
// thread while another transfer runs on a different pipe or the same pipe.
class UsbDevice {
 public:
  virtual ~UsbDevice() = default;
  // Pipe id (endpoint address) at a position of interface 0, alternate
  // setting 0; false past the last pipe.
  virtual bool query_pipe(uint8_t position, uint8_t* pipe_id) = 0;
  // Transfer time-out of one pipe; 0 waits without limit.
  virtual void set_pipe_timeout(uint8_t pipe_id, uint32_t timeout_ms) = 0;
  // Bulk transfers: true when the transfer succeeded, *transferred holds the
  // byte count (also on failure, where some bytes may have moved).
  // A read returns at most `length` bytes and never writes past
  // buffer[length - 1], whatever the pipe's packet size. Nothing the device
  // sent is lost to a short buffer: what one transfer brought beyond
  // `length` is what the next read of the pipe returns (that alone, without
  // waiting), and a reset of the pipe drops it. A read that failed leaves
  // nothing of its transfer for the next read. A read that ran out of time
  // after data arrived succeeds with that data. A read of 0 bytes succeeds at
  // once: it moves nothing and takes nothing, kept or waiting.
  // A write succeeds only when every byte went out. One that ran out of time
  // fails with kTimeout; one that ended short without an error fails with
  // kGeneralFailure.
  virtual bool read_pipe(uint8_t pipe_id, uint8_t* buffer, uint32_t length, uint32_t* transferred) = 0;
  virtual bool write_pipe(uint8_t pipe_id, const uint8_t* buffer, uint32_t length, uint32_t* transferred) = 0;
  // Resets exactly the pipe named: the direction bit is part of the id.
  virtual bool reset_pipe(uint8_t pipe_id) = 0;
  // Control transfer; the direction comes from bit 7 of request_type.
  virtual bool control_transfer(const UsbControlSetup& setup, uint8_t* buffer, uint32_t* transferred) = 0;
};

// Notice kinds for hot-plug monitors.
enum class HotplugNotice { kArrival, kRemoval };
using HotplugHandler = std::function<void(const UsbDeviceEntry& entry, HotplugNotice notice)>;

class UsbBackend {
 public:
  virtual ~UsbBackend() = default;
  // Builds a fresh list of attached device interfaces. *total receives the
  // number of entries in the whole list; entries whose ids equal the given
  // ones are appended to *matching, in list order. false when no list could
  // be built (counts as no device).
  virtual bool list_devices(uint16_t vendor_id, uint16_t product_id,
                            std::vector<UsbDeviceEntry>* matching, uint32_t* total) = 0;
  // Opens the device of a list entry; null on failure (last_error() set).
  virtual std::unique_ptr<UsbDevice> open(const UsbDeviceEntry& entry) = 0;
  // Registers one more monitor for every device; notices, also for the devices
  // present at registration, arrive on the layer's monitor thread. The call
  // returns once the notices that came while it registered (those for the
  // present devices among them) have been handled, so a caller can tell them
  // from later ones; called on the monitor thread itself it cannot wait for
  // them. Monitors live as long as the backend and are removed with it.
  // false when the layer refused the monitor.
  virtual bool add_hotplug_monitor(HotplugHandler handler) = 0;
};

// The backend linked into this program.
UsbBackend& backend();

}  // namespace kitusb

#endif  // KITUSB_USB_LAYER_H
