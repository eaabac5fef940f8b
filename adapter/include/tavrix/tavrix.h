/*
 * Tavrix: access library for the USB CAN / CAN-FD adapter.
 *
 * Adapters are addressed by their slot index: their position in the device
 * table of the last scan, 0 to 99. Unless a function says otherwise it
 * returns 0 (or a count) on success and -1 on failure; an index outside
 * 0 to 99 is refused before any slot is touched.
 *
 * Records pass by pointer and stay owned by the caller: the library copies
 * into and out of them during the call and keeps no pointer afterwards.
 *
 * Threads: per slot, the transmit calls are serialised by one lock and the
 * receive calls (CAN_Receive, CANFD_Receive, the receive counts,
 * CAN_GetTimeStamp, CAN_GetDevID, CAN_SetDevID) by another, so one thread
 * may transmit while another receives. Scan, open, close, init, filter,
 * reset, CAN_SetTimeStamp, CAN_ReadDevInfo and the raw USB calls take no
 * lock: do not run them at the same time as other calls on the same slot.
 * The library starts no thread of its own except the USB layer's hot-plug
 * monitor.
 */
#ifndef TAVRIX_TAVRIX_H
#define TAVRIX_TAVRIX_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define TAVRIX_CALL __stdcall
#else
#define TAVRIX_CALL
#endif

#if defined(_WIN32) && defined(TAVRIX_BUILDING_LIBRARY)
#define TAVRIX_API __declspec(dllexport)
#elif defined(_WIN32) && !defined(TAVRIX_STATIC)
#define TAVRIX_API __declspec(dllimport)
#elif defined(__GNUC__)
#define TAVRIX_API __attribute__((visibility("default")))
#else
#define TAVRIX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#pragma pack(push, 1)

/* Classic CAN frame, 24 bytes. */
typedef struct CAN_Frame {
  uint32_t id;            /* 11-bit or 29-bit identifier */
  uint32_t time_stamp;    /* receive: adapter time stamp; transmit: passed unchanged */
  uint8_t flags;          /* TAVRIX_FLAG_* bits */
  uint8_t dlc;            /* 0-8; larger values are clamped and written back on transmit */
  uint8_t extended;       /* 1 = 29-bit identifier */
  uint8_t remote;         /* 1 = remote frame */
  uint8_t bus_state;      /* receive only */
  uint8_t error_code;     /* receive only, 0-7 */
  uint8_t tx_error_count; /* receive only */
  uint8_t rx_error_count; /* receive only */
  uint8_t data[8];
} CAN_Frame;

/* CAN-FD frame, 80 bytes: as CAN_Frame with a DLC code 0-15 and 64 data bytes. */
typedef struct CANFD_Frame {
  uint32_t id;
  uint32_t time_stamp;
  uint8_t flags;
  uint8_t dlc;
  uint8_t extended;
  uint8_t remote;
  uint8_t bus_state;
  uint8_t error_code;
  uint8_t tx_error_count;
  uint8_t rx_error_count;
  uint8_t data[64];
} CANFD_Frame;

/* Classic CAN set-up, 12 bytes. baud and the timing fields are in and out. */
typedef struct CAN_InitConfig {
  uint32_t baud;       /* bit/s; on return the rate the settled timing gives */
  uint16_t prescaler;  /* 0 is taken as 1 */
  uint8_t tseg1;       /* quanta before the sample point, sync quantum not counted */
  uint8_t tseg2;       /* quanta after the sample point */
  uint8_t sjw;
  uint8_t mode;        /* passed to the adapter as it stands */
  uint8_t option;      /* passed to the adapter as it stands */
  uint8_t reserved;
} CAN_InitConfig;

/* CAN-FD set-up, 20 bytes. */
typedef struct CANFD_InitConfig {
  uint32_t baud;          /* nominal bit/s, in and out */
  uint32_t data_baud;     /* data bit/s, in and out */
  uint16_t prescaler;     /* nominal; 12 bits reach the adapter */
  uint8_t tseg1;
  uint8_t tseg2;
  uint8_t sjw;
  uint8_t data_prescaler;
  uint8_t data_tseg1;
  uint8_t data_tseg2;
  uint8_t data_sjw;
  uint8_t mode;
  uint8_t option;
  uint8_t fd_records;     /* non-zero: 76-byte transmit records, 25 per request */
} CANFD_InitConfig;

/* Device information, 160 bytes: five NUL-terminated texts. */
typedef struct CAN_DevInfo {
  char model[32];
  char serial[32];     /* "%010d" */
  char hw_version[32]; /* "V%d.%02d" */
  char fw_version[32]; /* "V%d.%d.%d" */
  char date[32];       /* year-month-day */
} CAN_DevInfo;

/* Last bus status of a slot, 8 bytes. */
typedef struct CAN_Status {
  uint8_t bus_state;
  uint8_t error_code;
  uint8_t tx_error_count;
  uint8_t rx_error_count;
  uint32_t time_stamp;
} CAN_Status;

#pragma pack(pop)

/* The record sizes are a binary interface; these fail to compile otherwise. */
typedef char tavrix_check_can_frame_size[(sizeof(CAN_Frame) == 24) ? 1 : -1];
typedef char tavrix_check_canfd_frame_size[(sizeof(CANFD_Frame) == 80) ? 1 : -1];
typedef char tavrix_check_can_init_size[(sizeof(CAN_InitConfig) == 12) ? 1 : -1];
typedef char tavrix_check_canfd_init_size[(sizeof(CANFD_InitConfig) == 20) ? 1 : -1];
typedef char tavrix_check_devinfo_size[(sizeof(CAN_DevInfo) == 160) ? 1 : -1];
typedef char tavrix_check_status_size[(sizeof(CAN_Status) == 8) ? 1 : -1];

/* flags bits of CAN_Frame and CANFD_Frame. */
#define TAVRIX_FLAG_FRAME 0x01u    /* receive: frame flag of the adapter */
#define TAVRIX_FLAG_ERROR 0x02u    /* receive: set with 0x01 when the frame carries an error */
#define TAVRIX_FLAG_FD 0x04u       /* CAN-FD frame */
#define TAVRIX_FLAG_BRS 0x08u      /* bit-rate switch */
#define TAVRIX_FLAG_TX_10 0x10u    /* transmit, Rt calls only: passed to the adapter */
#define TAVRIX_FLAG_TX_20 0x20u    /* transmit, Rt calls only: passed to the adapter */
#define TAVRIX_FLAG_TX_40 0x40u    /* transmit: passed to the adapter */
#define TAVRIX_FLAG_MARKER 0x80u   /* receive: marker bit of the adapter's record */

/* ---- Discovery, open and close ---------------------------------------- */

/* Scans for adapters (vendor 0xA8FA, product 0x8598); returns the count (0 none).
 * A repeated scan that sees the same number of USB devices keeps the table. */
TAVRIX_API int TAVRIX_CALL CAN_ScanDevice(void);
/* Scans for any USB device with these ids into the same table; returns the count. */
TAVRIX_API int TAVRIX_CALL USB_ScanDevice(uint16_t vendor_id, uint16_t product_id);
/* 1 CAN-FD capable, 0 classic only; -1 for an index outside 0-99. */
TAVRIX_API int TAVRIX_CALL CAN_GetDevType(int index);
/* CAN clock of the slot in Hz; -1 for an index outside 0-99. */
TAVRIX_API int TAVRIX_CALL CAN_GetDevPlck(int index);
/* Opens the USB device of the slot without any adapter command. */
TAVRIX_API int TAVRIX_CALL OpenUSBDev(int index);
/* Opens the USB device with caller-given pipe ids: write pipe in bits 0-7,
 * read pipe in bits 8-15 of pipes. For the raw calls below. */
TAVRIX_API int TAVRIX_CALL USB_OpenDev(int index, int pipes);
/* USB open plus the adapter's open handshake; 0 also when already open. */
TAVRIX_API int TAVRIX_CALL CAN_OpenDevice(int index);
/* Releases the USB device; the next scan or open rebuilds the device table. */
TAVRIX_API int TAVRIX_CALL CloseUSBDev(int index);
/* Close command and USB release; 0 when the close command was written. */
TAVRIX_API int TAVRIX_CALL CAN_CloseDevice(int index);
/* Fills info (caller-owned); works on slots that are not open. */
TAVRIX_API int TAVRIX_CALL CAN_ReadDevInfo(int index, CAN_DevInfo* info);

/* ---- Configuration ----------------------------------------------------- */

/* Classic CAN set-up; writes the settled timing and achieved rate back into
 * config. An identical repeat on an initialised slot sends nothing. */
TAVRIX_API int TAVRIX_CALL CAN_Init(int index, CAN_InitConfig* config);
/* CAN-FD set-up (CAN-FD adapters only); writes both settled phases back. */
TAVRIX_API int TAVRIX_CALL CANFD_Init(int index, CANFD_InitConfig* config);
TAVRIX_API int TAVRIX_CALL CAN_SetFilter(int index, int8_t first_byte, int8_t second_byte, uint32_t first_value,
                                         uint32_t second_value, int8_t third_byte);
TAVRIX_API int TAVRIX_CALL CAN_Reset(int index);
TAVRIX_API int TAVRIX_CALL CAN_GetTimeStamp(int index, uint32_t* value);
TAVRIX_API int TAVRIX_CALL CAN_SetTimeStamp(int index, uint32_t value, int8_t mode);
TAVRIX_API int TAVRIX_CALL CAN_GetDevID(int index, uint32_t* id);
TAVRIX_API int TAVRIX_CALL CAN_SetDevID(int index, uint32_t id);

/* ---- Frame transfer ---------------------------------------------------- */

/* Sends at most 1000 frames; returns the number the adapter took, -1 on failure.
 * Out-of-range dlc values are clamped in the caller's records. */
TAVRIX_API int TAVRIX_CALL CAN_Transmit(int index, CAN_Frame* frames, uint32_t count, int timeout_ms);
/* At most 100 frames; *status receives the status byte of the last acknowledgement. */
TAVRIX_API int TAVRIX_CALL CAN_TransmitRt(int index, CAN_Frame* frames, uint32_t count, int* status, int timeout_ms);
TAVRIX_API int TAVRIX_CALL CANFD_Transmit(int index, CANFD_Frame* frames, uint32_t count, int timeout_ms);
TAVRIX_API int TAVRIX_CALL CANFD_TransmitRt(int index, CANFD_Frame* frames, uint32_t count, int* status,
                                            int timeout_ms);
/* Reads one acknowledgement record (ack: 100 bytes, caller-owned); 1 read, 0 not. */
TAVRIX_API int TAVRIX_CALL CAN_GetTransmitNum(int index, void* ack);
/* Copies up to count received frames (0 is taken as 1, at most 2500) into
 * frames; polls the adapter when none is waiting. Returns the number copied. */
TAVRIX_API int TAVRIX_CALL CAN_Receive(int index, CAN_Frame* frames, uint32_t count, int timeout_ms);
TAVRIX_API int TAVRIX_CALL CANFD_Receive(int index, CANFD_Frame* frames, uint32_t count, int timeout_ms);
/* Polls once, then returns the number of frames waiting (0-4999). */
TAVRIX_API int TAVRIX_CALL CAN_GetReceiveNum(int index);
TAVRIX_API int TAVRIX_CALL CANFD_GetReceiveNum(int index);
/* Copies the slot's last bus status; a slot that is not open leaves *status as it was. */
TAVRIX_API int TAVRIX_CALL CAN_GetStatus(int index, CAN_Status* status);

/* ---- Raw USB access (needs OpenUSBDev or USB_OpenDev) ------------------ */

/* Vendor OUT control transfer of 8 bytes; non-zero done, 0 failed. */
TAVRIX_API int TAVRIX_CALL USB_control_write_date(int index, const uint8_t buffer[8], int unused,
                                                  uint32_t* transferred);
/* Vendor IN control transfer of 8 bytes; non-zero done, 0 failed. */
TAVRIX_API int TAVRIX_CALL USB_control_read_date(int index, uint8_t buffer[8], int unused, uint32_t* transferred);
/* Reads at most length bytes from the read pipe; returns the count (0 none). */
TAVRIX_API int TAVRIX_CALL Readusb_devNum(int index, void* buffer, int length);
/* Writes the bytes as they stand to the write pipe; returns the count written. */
TAVRIX_API int TAVRIX_CALL Writeusb_devNum(int index, const void* buffer, int length);
/* Registers one more hot-plug monitor; the callback (stored last) runs on the
 * USB layer's monitor thread for every arrival and removal. 0 or -1. */
TAVRIX_API int TAVRIX_CALL Reg_HotPlug_Func(void (*callback)(void));

#ifdef __cplusplus
}
#endif

#endif /* TAVRIX_TAVRIX_H */
