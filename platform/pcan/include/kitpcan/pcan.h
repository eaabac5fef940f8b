/*
 * kitpcan: a small classic-CAN channel library with the operations that a
 * PC CAN interface library offers a program: initialize, uninitialize,
 * reset, read, write, get value, set value, and a receive event that the
 * library signals when messages arrive.
 *
 * Channels are addressed by 16-bit handles: 0x51 to 0x58 and 0x509, 0x50A.
 * Which CAN controller stands behind a handle depends on the backend the
 * library was built with: SocketCAN (can0 .. can7 for 0x51 .. 0x58, can8
 * and can9 for 0x509 and 0x50A), PCANBasic.dll on Windows (the handles are
 * its own; the DLL is loaded at the first call and bound by ordinal, and
 * without it every call fails with KITPCAN_ERR_SYSTEM), or a simulated bus
 * with simulated devices.
 *
 * Every function returns a kitpcan_status: KITPCAN_OK (0) or an error code.
 * Over PCANBasic its own codes pass through unchanged: 0 and
 * KITPCAN_QUEUE_EMPTY mean the same there, its errors are PCANBasic's.
 * Records pass by pointer and stay owned by the caller; PCANBasic reads and
 * writes them as they are (same layouts).
 *
 * Threads: every function may be called from any thread; reads and writes
 * of one channel may run at the same time. Received messages wait in a
 * queue per channel (PCANBasic's own on Windows) until read.
 */
#ifndef KITPCAN_PCAN_H
#define KITPCAN_PCAN_H

#include <stdint.h>

#if defined(__GNUC__)
#define KITPCAN_API __attribute__((visibility("default")))
#else
#define KITPCAN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef uint16_t kitpcan_handle;
typedef uint32_t kitpcan_status;

/* Results. */
#define KITPCAN_OK 0x00u
#define KITPCAN_QUEUE_EMPTY 0x20u        /* read: no message waiting */
#define KITPCAN_ERR_BAD_CHANNEL 0x1001u  /* not a channel handle, or no hardware behind it */
#define KITPCAN_ERR_NOT_OPEN 0x1002u     /* channel not initialized */
#define KITPCAN_ERR_IN_USE 0x1003u       /* channel already initialized */
#define KITPCAN_ERR_BAD_PARAM 0x1004u    /* null pointer, bad size, unknown parameter */
#define KITPCAN_ERR_BAD_BITRATE 0x1005u
#define KITPCAN_ERR_TRANSMIT 0x1006u     /* the controller did not take the message */
#define KITPCAN_ERR_SYSTEM 0x1007u       /* the backend failed (socket, thread) */

/* Bit-rate codes of kitpcan_initialize. */
#define KITPCAN_BITRATE_1M 0x0014u
#define KITPCAN_BITRATE_500K 0x001Cu
#define KITPCAN_BITRATE_250K 0x011Cu
#define KITPCAN_BITRATE_125K 0x031Cu

/* Parameters of kitpcan_get_value / kitpcan_set_value. */
#define KITPCAN_PARAM_RECEIVE_EVENT 3u   /* set: address of a kitpcan_event* (or of a null one to remove it) */
#define KITPCAN_PARAM_HARDWARE_NAME 14u  /* get: the channel's name as text, size bytes at most, 0-terminated */

/* Message types. */
#define KITPCAN_MESSAGE_STANDARD 0u
#define KITPCAN_MESSAGE_EXTENDED 2u

/* One classic CAN message, 16 bytes little-endian. */
typedef struct kitpcan_message {
  uint32_t id;          /* 11-bit or 29-bit identifier */
  uint8_t type;         /* KITPCAN_MESSAGE_* */
  uint8_t len;          /* 0..8 */
  uint8_t data[8];
  uint8_t reserved[2];
} kitpcan_message;

/* Reception time since the channel was initialized, 8 bytes. */
typedef struct kitpcan_timestamp {
  uint32_t millis;
  uint16_t millis_overflow; /* how often millis wrapped around */
  uint16_t micros;          /* 0..999 */
} kitpcan_timestamp;

typedef char kitpcan_check_message_size[(sizeof(kitpcan_message) == 16) ? 1 : -1];
typedef char kitpcan_check_timestamp_size[(sizeof(kitpcan_timestamp) == 8) ? 1 : -1];

/* Opens the channel at the bit-rate code. The last three arguments are for
 * hardware that needs them: PCANBasic gets them (hw_type as its 8-bit
 * hardware type), the other backends ignore them. SocketCAN cannot set the
 * bit rate without privileges: the interface keeps the rate it was brought up
 * with (ip link set canN type can bitrate 1000000). */
KITPCAN_API kitpcan_status kitpcan_initialize(kitpcan_handle channel, uint16_t bitrate, uint32_t hw_type,
                                              uint32_t io_port, uint16_t interrupt);
/* Closes the channel; its queue and receive event are forgotten. */
KITPCAN_API kitpcan_status kitpcan_uninitialize(kitpcan_handle channel);
/* Empties the channel's receive queue. */
KITPCAN_API kitpcan_status kitpcan_reset(kitpcan_handle channel);
/* Takes the oldest received message; timestamp may be null.
 * KITPCAN_QUEUE_EMPTY when none is waiting. */
KITPCAN_API kitpcan_status kitpcan_read(kitpcan_handle channel, kitpcan_message* message,
                                        kitpcan_timestamp* timestamp);
/* Sends one message (len above 8 is refused with KITPCAN_ERR_BAD_PARAM). */
KITPCAN_API kitpcan_status kitpcan_write(kitpcan_handle channel, const kitpcan_message* message);
/* KITPCAN_PARAM_HARDWARE_NAME works on channels that are not initialized. */
KITPCAN_API kitpcan_status kitpcan_get_value(kitpcan_handle channel, uint8_t parameter, void* buffer,
                                             uint32_t size);
KITPCAN_API kitpcan_status kitpcan_set_value(kitpcan_handle channel, uint8_t parameter, void* buffer,
                                             uint32_t size);

/* Receive events: auto-reset, created not signalled. kitpcan_event_wait
 * returns 1 when the event was signalled (and resets it), 0 on time-out.
 * Remove an event from its channel (set it to null, or uninitialize the
 * channel) before closing it. On Windows an event is a Win32 event handle,
 * which PCANBasic signals itself. */
typedef struct kitpcan_event kitpcan_event;
KITPCAN_API kitpcan_event* kitpcan_event_create(void);
KITPCAN_API void kitpcan_event_signal(kitpcan_event* event);
KITPCAN_API int kitpcan_event_wait(kitpcan_event* event, uint32_t timeout_ms);
KITPCAN_API void kitpcan_event_close(kitpcan_event* event);

#ifdef __cplusplus
}
#endif

#endif /* KITPCAN_PCAN_H */
