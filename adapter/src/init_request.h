// Words of the init request for classic CAN and CAN-FD set-up.
#ifndef TAVRIX_INIT_REQUEST_H
#define TAVRIX_INIT_REQUEST_H

#include <cstdint>

#include "tavrix/tavrix.h"

namespace tavrix {

// words[1..4] of the classic request (N = 5).
void classic_init_words(const CAN_InitConfig& c, uint32_t* words);
// words[1..6] of the CAN-FD request (N = 7).
void fd_init_words(const CANFD_InitConfig& c, uint32_t* words);

}  // namespace tavrix

#endif  // TAVRIX_INIT_REQUEST_H
