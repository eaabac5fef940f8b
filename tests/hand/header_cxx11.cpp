// Compiled as C++11 with -Wpedantic -Werror: the public header must stand alone.
#include "morvane/morvane.h"

int header_cxx11_probe() {
    morvx::Morvane* hand = nullptr;
    return hand == nullptr ? 0 : 1;
}
