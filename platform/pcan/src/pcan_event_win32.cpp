// Receive events as Win32 event objects: a kitpcan_event* is the event's
// handle, so it can be handed to a CAN interface library that signals it.
#include <windows.h>

#include "kitpcan/pcan.h"

namespace {

HANDLE as_handle(kitpcan_event* event) { return reinterpret_cast<HANDLE>(event); }

}  // namespace

extern "C" {

kitpcan_event* kitpcan_event_create(void) {
  // Auto-reset, not signalled.
  return reinterpret_cast<kitpcan_event*>(::CreateEventA(nullptr, FALSE, FALSE, nullptr));
}

void kitpcan_event_signal(kitpcan_event* event) {
  if (event != nullptr) ::SetEvent(as_handle(event));
}

int kitpcan_event_wait(kitpcan_event* event, uint32_t timeout_ms) {
  if (event == nullptr) return 0;
  return ::WaitForSingleObject(as_handle(event), timeout_ms) == WAIT_OBJECT_0 ? 1 : 0;
}

void kitpcan_event_close(kitpcan_event* event) {
  if (event != nullptr) ::CloseHandle(as_handle(event));
}

}  // extern "C"
