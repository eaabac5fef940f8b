// Auto-reset events for the receive notice.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "kitpcan/pcan.h"

struct kitpcan_event {
  std::mutex mutex;
  std::condition_variable cv;
  bool signalled = false;
};

extern "C" {

kitpcan_event* kitpcan_event_create(void) { return new (std::nothrow) kitpcan_event(); }

void kitpcan_event_signal(kitpcan_event* event) {
  if (event == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(event->mutex);
    event->signalled = true;
  }
  event->cv.notify_one();
}

int kitpcan_event_wait(kitpcan_event* event, uint32_t timeout_ms) {
  if (event == nullptr) return 0;
  std::unique_lock<std::mutex> lock(event->mutex);
  if (!event->cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [event] { return event->signalled; }))
    return 0;
  event->signalled = false;  // auto-reset: one waiter takes the signal
  return 1;
}

void kitpcan_event_close(kitpcan_event* event) { delete event; }

}  // extern "C"
