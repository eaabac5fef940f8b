// The public header compiles alone as C++11.
#include "tavrix/tavrix.h"

int tavrix_header_cxx_probe() { return static_cast<int>(sizeof(CANFD_Frame)); }
