// Binds the exports of a DLL loaded at run time to typed function pointers.
// Every outside library the kit loads itself (libusbK, wpcap, PCANBasic,
// winmm) goes through this, so that a machine without it still loads our
// DLLs and the missing library shows up as a failed call instead.
#ifndef KITDLL_DLL_BINDING_H
#define KITDLL_DLL_BINDING_H

#include <windows.h>

namespace kitdll {

// Binds exports of one module in turn. A missing export leaves its pointer
// null and marks the set incomplete; the first one missing is kept for the
// caller's message.
class Binder {
 public:
  explicit Binder(HMODULE module) : module_(module) {}

  // By exported name.
  template <typename F>
  Binder& bind(const char* name, F* out) {
    if (!take(GetProcAddress(module_, name), out) && complete_) {
      complete_ = false;
      missing_name_ = name;
    }
    return *this;
  }

  // By ordinal: a library that exports its functions by number only.
  template <typename F>
  Binder& bind(WORD ordinal, F* out) {
    if (!take(GetProcAddress(module_, MAKEINTRESOURCEA(ordinal)), out) && complete_) {
      complete_ = false;
      missing_ordinal_ = ordinal;
    }
    return *this;
  }

  bool complete() const { return complete_; }
  // The first export missing: its name, or (null name) its ordinal.
  const char* missing_name() const { return missing_name_; }
  WORD missing_ordinal() const { return missing_ordinal_; }

 private:
  template <typename F>
  static bool take(FARPROC proc, F* out) {
    // FARPROC to the declared type: the caller's declaration is the contract.
    *out = reinterpret_cast<F>(reinterpret_cast<void*>(proc));
    return proc != nullptr;
  }

  HMODULE module_;
  bool complete_ = true;
  const char* missing_name_ = nullptr;
  WORD missing_ordinal_ = 0;
};

}  // namespace kitdll

#endif  // KITDLL_DLL_BINDING_H
