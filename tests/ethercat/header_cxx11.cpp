// The master's public header compiles alone as C++11.
#include "ethercat/master.h"
