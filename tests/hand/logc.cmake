# Frame log, C interface and tactile frame decoder.

# The frame log compiles on its own, so its tests do not wait for the rest of
# the library.
kit_add_test(test_frame_log
  SOURCES ${KIT_TEST_DIR}/test_frame_log.cpp ${CMAKE_SOURCE_DIR}/hand/src/frame_log.cpp
  LIBS Threads::Threads TIMEOUT 600)
target_include_directories(test_frame_log PRIVATE ${CMAKE_SOURCE_DIR}/hand/src)

kit_add_test(test_tactile_frame SOURCES ${KIT_TEST_DIR}/test_tactile_frame.cpp LIBS morvane_tactile_frame)

# A C99 program against the shared library, as C callers build it.
add_executable(test_c_interface_c ${KIT_TEST_DIR}/test_c_interface.c)
target_link_libraries(test_c_interface_c PRIVATE Morvane)
target_include_directories(test_c_interface_c PRIVATE ${CMAKE_SOURCE_DIR}/tests/common)
set_target_properties(test_c_interface_c PROPERTIES C_STANDARD 99 C_EXTENSIONS OFF)
target_compile_options(test_c_interface_c PRIVATE -Wall -Wextra -Wpedantic -Werror)
if(KIT_SANITIZE)
  # The sanitizers' C++ runtime parts (UBSan's type checks in the library)
  # come only with the C++ driver; a plain build links as a C program would.
  set_target_properties(test_c_interface_c PROPERTIES LINKER_LANGUAGE CXX)
endif()
add_test(NAME test_c_interface_c COMMAND test_c_interface_c)
set_tests_properties(test_c_interface_c PROPERTIES TIMEOUT 120)

# Null-handle rules, array getters and their allocation failures (the test
# swaps the internal allocator, so it links the static copy of the library).
kit_add_test(test_c_interface SOURCES ${KIT_TEST_DIR}/test_c_interface.cpp LIBS morvane_core)

# The C header also compiles alone as C++11, pedantic, warnings as errors.
add_library(morvane_c_header_cxx11 OBJECT ${KIT_TEST_DIR}/test_c_interface_header.cpp)
target_include_directories(morvane_c_header_cxx11 PRIVATE ${CMAKE_SOURCE_DIR}/hand/include)
set_target_properties(morvane_c_header_cxx11 PROPERTIES CXX_STANDARD 11 CXX_EXTENSIONS OFF)
target_compile_options(morvane_c_header_cxx11 PRIVATE -Wall -Wextra -Wpedantic -Werror)
