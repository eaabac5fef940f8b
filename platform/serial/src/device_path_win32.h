// The Win32 device path of a COM name.
#ifndef KITSERIAL_SRC_DEVICE_PATH_WIN32_H
#define KITSERIAL_SRC_DEVICE_PATH_WIN32_H

#include <string>

namespace kitserial {

// "\\.\" + name: the device namespace, without which CreateFileA finds
// COM1 to COM9 only.
inline std::string device_path(const std::string& name) { return "\\\\.\\" + name; }

}  // namespace kitserial

#endif  // KITSERIAL_SRC_DEVICE_PATH_WIN32_H
