// usbfs as libusb drives it on Linux: URBs are submitted, later reaped
// without delay (libusb polls), discarded on its time-outs; control URBs carry
// their setup packet in front of the data. Bulk URBs go to the simulated
// adapter's pipes, vendor control transfers to its control handler, and
// descriptor requests are answered from the descriptors below. A transfer
// that runs out of time stays in flight with what it moved until libusb
// discards it at its own time-out, as the kernel's does.
#include "usbfs_adapter.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace tavrix_test {
namespace {

constexpr const char* kSysPath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";
constexpr const char* kDevNode = "/dev/bus/usb/001/002";
constexpr uint32_t kPacketBytes = 64;  // wMaxPacketSize of every endpoint below

// Device (A8FA:8598, full speed, serial string 3), one configuration, one
// vendor interface with the read, write and acknowledgement pipes in that
// order. Upper-case hex: umockdev takes node contents only so.
constexpr const char* kDescriptorsHex =
    "12010002000000" "40FAA898850001010203" "01"  // device
    "0902270001010080" "32"                        // configuration, 39 bytes in all
    "0904000003FF000000"                           // interface 0: three endpoints
    "07058102400000" "07050202400000" "07058302400000";

std::string device_text() {
  std::string hex = std::string(kDescriptorsHex);
  return std::string("P: /devices/pci0000:00/0000:00:14.0/usb1/1-1\n") + "N: bus/usb/001/002=" + hex + "\n" +
         "E: DEVNAME=/dev/bus/usb/001/002\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: PRODUCT=a8fa/8598/100\n"
         "E: BUSNUM=001\nE: DEVNUM=002\nE: SUBSYSTEM=usb\n"
         "A: busnum=1\nA: devnum=2\nA: idVendor=a8fa\nA: idProduct=8598\nA: speed=12\n"
         "A: bConfigurationValue=1\nA: bNumInterfaces= 1\nA: dev=189:1\n"
         "H: descriptors=" + hex + "\n";
}

std::vector<uint8_t> descriptor_bytes() {
  std::vector<uint8_t> out;
  std::string hex(kDescriptorsHex);
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::vector<uint8_t> string_descriptor(const std::string& text) {
  std::vector<uint8_t> out{static_cast<uint8_t>(2 + 2 * text.size()), 3};
  for (char c : text) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(0);
  }
  return out;
}

template <typename T>
void put_field(UMockdevIoctlData* data, size_t offset, T value) {
  umockdev_ioctl_data_update(data, offset, reinterpret_cast<guint8*>(&value), sizeof(value));
}

}  // namespace

struct UsbfsAdapter::Handler {
  struct Urb {
    UMockdevIoctlData* urb = nullptr;     // the client's usbdevfs_urb
    UMockdevIoctlData* buffer = nullptr;  // its data buffer (null when empty)
    uint8_t type = 0;
    uint8_t endpoint = 0;
    int length = 0;
    int status = 0;
    int actual = 0;
    bool timed_out = false;  // moved what it could; waits for libusb's discard
    std::vector<uint8_t> in_data;
  };
  struct Client {
    std::vector<Urb> pending;  // bulk transfers in flight
    std::deque<Urb> done;      // ready to be reaped
  };

  std::shared_ptr<simadapter::SimAdapter> sim;
  std::vector<uint8_t> descriptors = descriptor_bytes();
  std::atomic<bool> gone{false};
  std::atomic<int> in_flight{0};
  std::map<UMockdevIoctlClient*, Client> clients;  // worker thread only

  static void release(Urb& u) {
    if (u.buffer) g_object_unref(u.buffer);
    g_object_unref(u.urb);
  }

  void answer_control(Urb& u) {
    const guint8* b = static_cast<const guint8*>(u.buffer->data);
    const uint8_t request_type = b[0], request = b[1];
    const uint16_t value = static_cast<uint16_t>(b[2] | b[3] << 8);
    const uint16_t length = static_cast<uint16_t>(b[6] | b[7] << 8);
    std::vector<uint8_t> reply;
    u.status = 0;
    if (request_type == 0x80 && request == 6) {  // GET_DESCRIPTOR
      const uint8_t kind = static_cast<uint8_t>(value >> 8), index = static_cast<uint8_t>(value);
      if (kind == 1) {
        reply.assign(descriptors.begin(), descriptors.begin() + 18);
      } else if (kind == 2) {
        reply.assign(descriptors.begin() + 18, descriptors.end());
      } else if (kind == 3 && index == 0) {
        reply = {4, 3, 0x09, 0x04};  // English (US)
      } else if (kind == 3) {
        reply = string_descriptor(index == 3 ? sim->config().serial : "Tavrix adapter");
      } else {
        u.status = -EPIPE;
      }
    } else if ((request_type & 0x60) == 0x40) {  // vendor requests go to the adapter
      kitusb::UsbControlSetup setup{request_type, request, value, static_cast<uint16_t>(b[4] | b[5] << 8), length};
      std::vector<uint8_t> data(b + 8, b + 8 + length);
      uint32_t moved = 0;
      if (!sim->host_control(setup, data.data(), &moved)) u.status = -EPIPE;
      if (request_type & 0x80) reply.assign(data.begin(), data.begin() + moved);
      else u.actual = static_cast<int>(moved);
    } else if (request_type == 0x00) {  // standard OUT requests (configuration, ...) just succeed
    } else {
      u.status = -EPIPE;
    }
    if (!reply.empty()) {
      if (reply.size() > length) reply.resize(length);
      u.in_data.assign(8, 0);
      u.in_data.insert(u.in_data.end(), reply.begin(), reply.end());
      u.actual = static_cast<int>(reply.size());
    }
  }

  static int status_of_last_error() {
    switch (kitusb::last_error()) {
      case kitusb::UsbError::kNotConnected:
        return -ESHUTDOWN;
      default:
        return -EPROTO;  // a transfer error on the bus (the adapter's overflow among them)
    }
  }

  // A bulk transfer the adapter ended: with an error, or out of time (the
  // URB then stays in flight with what moved until libusb discards it).
  static void end_transfer(Urb& u, bool ok, uint32_t moved) {
    u.actual = static_cast<int>(moved);
    if (ok) {
      u.status = 0;
    } else if (kitusb::last_error() == kitusb::UsbError::kTimeout) {
      u.timed_out = true;
    } else {
      u.status = status_of_last_error();
    }
  }

  // Serves the bulk IN URBs the adapter has data for; each that ends moves
  // to the reap queue.
  void service(Client& c) {
    for (auto it = c.pending.begin(); it != c.pending.end();) {
      Urb& u = *it;
      if (gone) {
        u.status = -ESHUTDOWN;
      } else if (u.timed_out) {
        ++it;
        continue;
      } else {
        std::vector<uint8_t> data(static_cast<size_t>(u.length));
        uint32_t got = 0;
        const bool ok = sim->host_read(u.endpoint, data.data(), static_cast<uint32_t>(u.length), &got, 0);
        if (!ok && got == 0 && kitusb::last_error() == kitusb::UsbError::kTimeout) {
          ++it;  // nothing yet: stays in flight until libusb discards it
          continue;
        }
        u.in_data.assign(data.begin(), data.begin() + got);
        end_transfer(u, ok, got);
        if (u.timed_out) {
          ++it;
          continue;
        }
      }
      c.done.push_back(std::move(u));
      it = c.pending.erase(it);
      --in_flight;
    }
  }

  void submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg, Client& c) {
    GError* error = nullptr;
    UMockdevIoctlData* urb_data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error);
    if (!urb_data) {
      g_clear_error(&error);
      umockdev_ioctl_client_complete(client, -1, EFAULT);
      return;
    }
    const usbdevfs_urb* urb = reinterpret_cast<const usbdevfs_urb*>(urb_data->data);
    Urb u;
    u.type = urb->type;
    u.endpoint = urb->endpoint;
    u.length = urb->buffer_length;
    u.urb = static_cast<UMockdevIoctlData*>(g_object_ref(urb_data));
    if (u.length > 0) {
      UMockdevIoctlData* buf = umockdev_ioctl_data_resolve(urb_data, offsetof(usbdevfs_urb, buffer),
                                                           static_cast<gsize>(u.length), &error);
      g_clear_error(&error);
      if (buf) u.buffer = static_cast<UMockdevIoctlData*>(g_object_ref(buf));
    }
    if (u.type == USBDEVFS_URB_TYPE_CONTROL && u.buffer && u.length >= 8) {
      answer_control(u);
      c.done.push_back(std::move(u));
    } else if (u.type == USBDEVFS_URB_TYPE_BULK && !(u.endpoint & 0x80)) {
      uint32_t written = 0;
      const guint8* bytes = u.buffer ? static_cast<const guint8*>(u.buffer->data) : nullptr;
      const bool ok = sim->host_write(u.endpoint, bytes, static_cast<uint32_t>(u.length), &written);
      end_transfer(u, ok, written);
      if (u.timed_out) {
        c.pending.push_back(std::move(u));
        ++in_flight;
      } else {
        c.done.push_back(std::move(u));
      }
    } else if (u.type == USBDEVFS_URB_TYPE_BULK) {
      c.pending.push_back(std::move(u));
      ++in_flight;
    } else {
      release(u);
      umockdev_ioctl_client_complete(client, -1, EINVAL);
      return;
    }
    umockdev_ioctl_client_complete(client, 0, 0);
  }

  void discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg, Client& c) {
    unsigned long address = *reinterpret_cast<const unsigned long*>(arg->data);
    for (auto it = c.pending.begin(); it != c.pending.end(); ++it) {
      if (it->urb->client_addr != address) continue;
      it->status = -ENOENT;
      c.done.push_back(std::move(*it));
      c.pending.erase(it);
      --in_flight;
      umockdev_ioctl_client_complete(client, 0, 0);
      return;
    }
    umockdev_ioctl_client_complete(client, -1, EINVAL);
  }

  void reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg, Client& c) {
    service(c);
    if (c.done.empty()) {
      umockdev_ioctl_client_complete(client, -1, gone ? ENODEV : EAGAIN);
      return;
    }
    Urb u = std::move(c.done.front());
    c.done.pop_front();
    put_field<int>(u.urb, offsetof(usbdevfs_urb, status), u.status);
    put_field<int>(u.urb, offsetof(usbdevfs_urb, actual_length), u.actual);
    if (!u.in_data.empty() && u.buffer) {
      umockdev_ioctl_data_update(u.buffer, 0, u.in_data.data(), static_cast<gint>(u.in_data.size()));
    }
    GError* error = nullptr;
    UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), &error);
    g_clear_error(&error);
    if (!slot || !umockdev_ioctl_data_set_ptr(slot, 0, u.urb)) {
      release(u);
      umockdev_ioctl_client_complete(client, -1, EFAULT);
      return;
    }
    release(u);
    umockdev_ioctl_client_complete(client, 0, 0);
  }

  void simple(UMockdevIoctlClient* client, UMockdevIoctlData* arg, gulong request) {
    if (gone) {
      umockdev_ioctl_client_complete(client, -1, ENODEV);
      return;
    }
    if (request == USBDEVFS_CLEAR_HALT) {
      GError* error = nullptr;
      UMockdevIoctlData* ep = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned int), &error);
      g_clear_error(&error);
      if (ep && !sim->host_reset_pipe(static_cast<uint8_t>(*reinterpret_cast<const unsigned int*>(ep->data)))) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
      }
    }
    umockdev_ioctl_client_complete(client, 0, 0);
  }

  gboolean handle(UMockdevIoctlClient* client) {
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    Client& c = clients[client];
    switch (request) {
      case USBDEVFS_GET_CAPABILITIES: {
        GError* error = nullptr;
        UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), &error);
        g_clear_error(&error);
        if (caps) put_field<uint32_t>(caps, 0, USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM);
        umockdev_ioctl_client_complete(client, caps ? 0 : -1, caps ? 0 : EFAULT);
        break;
      }
      case USBDEVFS_SUBMITURB:
        if (gone) umockdev_ioctl_client_complete(client, -1, ENODEV);
        else submit(client, arg, c);
        break;
      case USBDEVFS_DISCARDURB:
        discard(client, arg, c);
        break;
      case USBDEVFS_REAPURB:
      case USBDEVFS_REAPURBNDELAY:
        reap(client, arg, c);
        break;
      case USBDEVFS_CLAIMINTERFACE:
      case USBDEVFS_RELEASEINTERFACE:
      case USBDEVFS_SETINTERFACE:
      case USBDEVFS_SETCONFIGURATION:
      case USBDEVFS_CLEAR_HALT:
      case USBDEVFS_RESET:
      case USBDEVFS_DISCONNECT_CLAIM:
        simple(client, arg, request);
        break;
      case USBDEVFS_GETDRIVER:
      case USBDEVFS_IOCTL:
        umockdev_ioctl_client_complete(client, -1, ENODATA);  // no kernel driver bound
        break;
      default:
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        break;
    }
    return TRUE;
  }

  void vanished(UMockdevIoctlClient* client) {
    auto it = clients.find(client);
    if (it == clients.end()) return;
    for (Urb& u : it->second.pending) {
      release(u);
      --in_flight;
    }
    for (Urb& u : it->second.done) release(u);
    clients.erase(it);
  }
};

namespace {

gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
  return static_cast<UsbfsAdapter::Handler*>(user)->handle(client);
}

void on_vanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
  static_cast<UsbfsAdapter::Handler*>(user)->vanished(client);
}

}  // namespace

UsbfsAdapter::UsbfsAdapter() : handler_(new Handler) {
  testbed_ = umockdev_testbed_new();
  simadapter::SimAdapterConfig config;
  config.empty_read_waits = false;  // the handler polls; it must never block umockdev's worker
  config.echo_transmit = true;      // transmitted frames come back on the read pipe
  config.packet_bytes = kPacketBytes;
  sim_ = simadapter::SimAdapter::create(config);
  handler_->sim = sim_;
  ioctl_ = umockdev_ioctl_base_new();
  g_signal_connect(ioctl_, "handle-ioctl", G_CALLBACK(on_ioctl), handler_.get());
  g_signal_connect(ioctl_, "client-vanished", G_CALLBACK(on_vanished), handler_.get());
}

UsbfsAdapter::~UsbfsAdapter() {
  g_object_unref(ioctl_);
  g_object_unref(testbed_);
}

void UsbfsAdapter::plug() {
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(testbed_, device_text().c_str(), &error) ||
      !umockdev_testbed_attach_ioctl(testbed_, kDevNode, ioctl_, &error)) {
    std::fprintf(stderr, "umockdev: %s\n", error ? error->message : "device not added");
    g_clear_error(&error);
    return;
  }
  sim_->plug();
  handler_->gone = false;
  umockdev_testbed_uevent(testbed_, kSysPath, "add");
}

void UsbfsAdapter::unplug() {
  handler_->gone = true;
  sim_->unplug();
  // Transfers in flight end first (libusb reaps them as "no device"), then
  // the device leaves sysfs and udev.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (handler_->in_flight.load() > 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  umockdev_testbed_uevent(testbed_, kSysPath, "remove");
  GError* error = nullptr;
  umockdev_testbed_detach_ioctl(testbed_, kDevNode, &error);
  g_clear_error(&error);
  umockdev_testbed_remove_device(testbed_, kSysPath);
}

}  // namespace tavrix_test
