/* The kitpcan header compiles alone as C99, pedantic, warnings as errors. */
#include "kitpcan/pcan.h"

int kitpcan_header_compiles(void) { return (int)sizeof(kitpcan_message) + (int)sizeof(kitpcan_timestamp); }
