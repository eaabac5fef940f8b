// kitpcan over PCANBasic.dll on Windows: the library is loaded on first use
// and its seven operations are bound by ordinal. Records pass through
// unchanged (same 16-byte message and 8-byte time stamp layouts); the receive
// event is a Win32 event handle (pcan_event_win32.cpp).
//
// A missing DLL or ordinal is reported once on the error stream; every call
// then fails with KITPCAN_ERR_SYSTEM, so a scan finds no channel.
#include <windows.h>

#include <cstdio>

#include "kitdll/dll_binding.h"
#include "kitpcan/pcan.h"

namespace {

const char kLibraryName[] = "PCANBasic.dll";

typedef kitpcan_status(WINAPI* InitializeFn)(kitpcan_handle, uint16_t, uint8_t, uint32_t, uint16_t);
typedef kitpcan_status(WINAPI* ChannelFn)(kitpcan_handle);
typedef kitpcan_status(WINAPI* ReadFn)(kitpcan_handle, kitpcan_message*, kitpcan_timestamp*);
typedef kitpcan_status(WINAPI* WriteFn)(kitpcan_handle, kitpcan_message*);
typedef kitpcan_status(WINAPI* ValueFn)(kitpcan_handle, uint8_t, void*, uint32_t);

struct Library {
  bool loaded = false;
  InitializeFn initialize = nullptr;  // ordinal 1
  ChannelFn uninitialize = nullptr;   // 2
  ChannelFn reset = nullptr;          // 3
  ReadFn read = nullptr;              // 5
  WriteFn write = nullptr;            // 6
  ValueFn get_value = nullptr;        // 8
  ValueFn set_value = nullptr;        // 9
};

Library load() {
  Library lib;
  HMODULE module = ::LoadLibraryA(kLibraryName);
  if (module == nullptr) {
    std::fprintf(stderr, "%s could not be loaded (error %lu): install the PCAN driver package.\n", kLibraryName,
                 static_cast<unsigned long>(::GetLastError()));
    return lib;
  }
  kitdll::Binder binder(module);
  binder.bind(1, &lib.initialize)
      .bind(2, &lib.uninitialize)
      .bind(3, &lib.reset)
      .bind(5, &lib.read)
      .bind(6, &lib.write)
      .bind(8, &lib.get_value)
      .bind(9, &lib.set_value);
  if (!binder.complete()) {
    std::fprintf(stderr, "%s has no function with ordinal %u.\n", kLibraryName,
                 static_cast<unsigned>(binder.missing_ordinal()));
    ::FreeLibrary(module);
    return Library();
  }
  lib.loaded = true;  // stays loaded for the program's life
  return lib;
}

const Library& library() {
  static const Library lib = load();
  return lib;
}

}  // namespace

extern "C" {

kitpcan_status kitpcan_initialize(kitpcan_handle channel, uint16_t bitrate, uint32_t hw_type, uint32_t io_port,
                                  uint16_t interrupt) {
  const Library& l = library();
  if (!l.loaded) return KITPCAN_ERR_SYSTEM;
  return l.initialize(channel, bitrate, static_cast<uint8_t>(hw_type), io_port, interrupt);
}

kitpcan_status kitpcan_uninitialize(kitpcan_handle channel) {
  const Library& l = library();
  return l.loaded ? l.uninitialize(channel) : KITPCAN_ERR_SYSTEM;
}

kitpcan_status kitpcan_reset(kitpcan_handle channel) {
  const Library& l = library();
  return l.loaded ? l.reset(channel) : KITPCAN_ERR_SYSTEM;
}

kitpcan_status kitpcan_read(kitpcan_handle channel, kitpcan_message* message, kitpcan_timestamp* timestamp) {
  const Library& l = library();
  if (!l.loaded) return KITPCAN_ERR_SYSTEM;
  if (message == nullptr) return KITPCAN_ERR_BAD_PARAM;
  kitpcan_timestamp unused;
  return l.read(channel, message, timestamp != nullptr ? timestamp : &unused);
}

kitpcan_status kitpcan_write(kitpcan_handle channel, const kitpcan_message* message) {
  const Library& l = library();
  if (!l.loaded) return KITPCAN_ERR_SYSTEM;
  if (message == nullptr || message->len > sizeof message->data) return KITPCAN_ERR_BAD_PARAM;
  kitpcan_message copy = *message;  // the library's write takes a non-const record
  return l.write(channel, &copy);
}

kitpcan_status kitpcan_get_value(kitpcan_handle channel, uint8_t parameter, void* buffer, uint32_t size) {
  const Library& l = library();
  return l.loaded ? l.get_value(channel, parameter, buffer, size) : KITPCAN_ERR_SYSTEM;
}

kitpcan_status kitpcan_set_value(kitpcan_handle channel, uint8_t parameter, void* buffer, uint32_t size) {
  const Library& l = library();
  return l.loaded ? l.set_value(channel, parameter, buffer, size) : KITPCAN_ERR_SYSTEM;
}

}  // extern "C"
