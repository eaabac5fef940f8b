// Allocator behind the array getters of the C interface. Arrays handed to C
// callers are released with free(), so a replacement must return memory that
// free() accepts, or null. Tests swap it to exercise the allocation-failure path.
#ifndef MORVANE_C_ARRAY_ALLOC_H
#define MORVANE_C_ARRAY_ALLOC_H

#include <cstddef>

namespace morvx {

using CArrayAllocator = void* (*)(std::size_t bytes);

// Installs fn (null restores malloc) and returns the previous allocator.
// Not synchronised: swap it only while no array getter runs.
CArrayAllocator set_c_array_allocator(CArrayAllocator fn);

}  // namespace morvx

#endif  // MORVANE_C_ARRAY_ALLOC_H
