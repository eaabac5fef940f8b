// The part of libusbK's interface that the Windows backend calls, declared
// from the library's public documentation: the device list, the function set
// of a device's driver, device handles, pipes, control transfers and hot-plug
// notices. Records keep the documented layout; fields we never read are
// named only as padding. Also read by the test stand-in for the library.
#ifndef KITUSB_LIBUSBK_API_H
#define KITUSB_LIBUSBK_API_H

#include <windows.h>
#include <winusb.h>

#include <cstddef>
#include <cstdint>

// libusbK's calls use the Windows calling convention (__stdcall on 32-bit).
#define KITUSB_KAPI WINAPI

namespace kitusb {
namespace libusbk {

constexpr size_t kStringBytes = 256;  // every text field of a device entry

// KLST_DEV_COMMON_INFO
struct CommonInfo {
  INT vid;
  INT pid;
  INT interface_number;  // "MI": -1 for a device that is not composite
  CHAR instance_id[kStringBytes];
};

// KUSB_DRVID: the driver a device is bound to. Each has its own function
// set; libusbK's UsbK_* exports are the set of the libusbK driver and also
// drive libusb0 devices, never WinUSB ones.
constexpr INT kDriverLibusbK = 0;
constexpr INT kDriverLibusb0 = 1;
constexpr INT kDriverWinUsb = 2;
constexpr INT kDriverLibusb0Filter = 3;

// KLST_DEVINFO: one entry of a device list.
struct DeviceInfo {
  CommonInfo common;
  INT driver_id;  // KUSB_DRVID
  CHAR device_interface_guid[kStringBytes];
  CHAR device_id[kStringBytes];
  CHAR class_guid[kStringBytes];
  CHAR manufacturer[kStringBytes];
  CHAR device_description[kStringBytes];
  CHAR service[kStringBytes];
  CHAR symbolic_link[kStringBytes];
  CHAR device_path[kStringBytes];
  INT lusb0_filter_index;
  BOOL connected;
  INT sync_flags;
  INT bus_number;
  INT device_address;
  CHAR serial_number[kStringBytes];
};

// KLST_PATTERN_MATCH: fixed at 1024 bytes; all-empty matches every device.
struct PatternMatch {
  CHAR device_id[kStringBytes];
  CHAR device_interface_guid[kStringBytes];
  CHAR class_guid[kStringBytes];
  UCHAR reserved[1024 - 3 * kStringBytes];
};

using ListHandle = void*;    // KLST_HANDLE
using DeviceHandle = void*;  // KUSB_HANDLE
using HotHandle = void*;     // KHOT_HANDLE

// KLST_SYNC_FLAG values that a hot-plug notice carries.
constexpr INT kSyncAdded = 0x0002;
constexpr INT kSyncRemoved = 0x0004;
// KHOT_FLAG_PLUG_ALL_ON_INIT: notices for the devices present at HotK_Init.
constexpr INT kHotPlugAllOnInit = 0x0001;

using HotPlugCallback = VOID(KITUSB_KAPI*)(HotHandle hot, DeviceInfo* info, INT plug_type);
using PowerCallback = VOID(KITUSB_KAPI*)(HotHandle hot, DeviceInfo* info, UINT event);

// KHOT_PARAMS: fixed at 2048 bytes.
struct HotParams {
  HWND user_hwnd;
  UINT user_message;
  INT flags;
  PatternMatch pattern;
  HotPlugCallback on_hot_plug;
  PowerCallback on_power_broadcast;
  UCHAR reserved[2048 - sizeof(PatternMatch) - 3 * sizeof(UINT_PTR) - 2 * sizeof(UINT)];
};

// The device calls, as the UsbK_* exports and every driver's function set
// declare them.
using UsbK_Init_t = BOOL(KITUSB_KAPI*)(DeviceHandle* handle, DeviceInfo* info);
using UsbK_Free_t = BOOL(KITUSB_KAPI*)(DeviceHandle handle);
using UsbK_QueryPipe_t = BOOL(KITUSB_KAPI*)(DeviceHandle handle, UCHAR alt_setting, UCHAR pipe_index,
                                            WINUSB_PIPE_INFORMATION* info);
using UsbK_SetPipePolicy_t = BOOL(KITUSB_KAPI*)(DeviceHandle handle, UCHAR pipe_id, UINT policy, UINT value_length,
                                                PVOID value);
using UsbK_ReadPipe_t = BOOL(KITUSB_KAPI*)(DeviceHandle handle, UCHAR pipe_id, UCHAR* buffer, UINT length,
                                           UINT* transferred, OVERLAPPED* overlapped);
using UsbK_WritePipe_t = BOOL(KITUSB_KAPI*)(DeviceHandle handle, UCHAR pipe_id, UCHAR* buffer, UINT length,
                                            UINT* transferred, OVERLAPPED* overlapped);
using UsbK_ResetPipe_t = BOOL(KITUSB_KAPI*)(DeviceHandle handle, UCHAR pipe_id);
using UsbK_ControlTransfer_t = BOOL(KITUSB_KAPI*)(DeviceHandle handle, WINUSB_SETUP_PACKET setup, UCHAR* buffer,
                                                  UINT length, UINT* transferred, OVERLAPPED* overlapped);

// KUSB_DRIVER_API: one driver's function set, 512 bytes: the driver id and
// function count, then one pointer per function in the order of KUSB_FNID
// (Init = 0, Free = 1, ..., ControlTransfer = 7, ..., QueryPipe = 21,
// SetPipePolicy = 22, GetPipePolicy = 23, ReadPipe = 24, WritePipe = 25,
// ResetPipe = 26, ...). Those we never call are padding.
struct DriverApi {
  INT driver_id;
  INT function_count;
  UsbK_Init_t init;
  UsbK_Free_t free;
  void* unused_2_to_6[5];
  UsbK_ControlTransfer_t control_transfer;
  void* unused_8_to_20[13];
  UsbK_QueryPipe_t query_pipe;
  UsbK_SetPipePolicy_t set_pipe_policy;
  void* unused_23;
  UsbK_ReadPipe_t read_pipe;
  UsbK_WritePipe_t write_pipe;
  UsbK_ResetPipe_t reset_pipe;
  UCHAR rest[512 - 2 * sizeof(INT) - 27 * sizeof(void*)];
};

static_assert(sizeof(PatternMatch) == 1024, "KLST_PATTERN_MATCH is 1024 bytes");
static_assert(sizeof(HotParams) == 2048, "KHOT_PARAMS is 2048 bytes");
static_assert(sizeof(DriverApi) == 512, "KUSB_DRIVER_API is 512 bytes");
static_assert(offsetof(DriverApi, init) == 8, "function pointers follow the 8-byte driver info");
static_assert(offsetof(DriverApi, control_transfer) == 8 + 7 * sizeof(void*), "ControlTransfer is function 7");
static_assert(offsetof(DriverApi, query_pipe) == 8 + 21 * sizeof(void*), "QueryPipe is function 21");
static_assert(offsetof(DriverApi, reset_pipe) == 8 + 26 * sizeof(void*), "ResetPipe is function 26");

// Exported names and signatures.
using LstK_Init_t = BOOL(KITUSB_KAPI*)(ListHandle* list, INT flags);
using LstK_Free_t = BOOL(KITUSB_KAPI*)(ListHandle list);
using LstK_Count_t = BOOL(KITUSB_KAPI*)(ListHandle list, UINT* count);
using LstK_MoveNext_t = BOOL(KITUSB_KAPI*)(ListHandle list, DeviceInfo** info);
using LibK_LoadDriverAPI_t = BOOL(KITUSB_KAPI*)(DriverApi* api, INT driver_id);
using HotK_Init_t = BOOL(KITUSB_KAPI*)(HotHandle* handle, HotParams* params);
using HotK_Free_t = BOOL(KITUSB_KAPI*)(HotHandle handle);

}  // namespace libusbk
}  // namespace kitusb

#endif  // KITUSB_LIBUSBK_API_H
