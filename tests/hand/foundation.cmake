# Lock-free publication and byte helpers.
kit_add_test(test_double_buffer SOURCES ${KIT_TEST_DIR}/test_double_buffer.cpp LIBS morvane_core)

# libMorvane exports only the class interface and the C interface (the listed
# names, as on every platform).
add_test(NAME morvane_exports
  COMMAND ${CMAKE_SOURCE_DIR}/tests/check_exports.sh $<TARGET_FILE:Morvane>
          "^(morvx::Morvane::|morvx::RS485SharedBus::|morvane_)" ${CMAKE_SOURCE_DIR}/tests/exports/Morvane.txt)

# The public class header compiles alone as C++11, pedantic, warnings as errors.
add_library(morvane_header_cxx11 OBJECT ${KIT_TEST_DIR}/header_cxx11.cpp)
target_include_directories(morvane_header_cxx11 PRIVATE ${CMAKE_SOURCE_DIR}/hand/include)
set_target_properties(morvane_header_cxx11 PROPERTIES CXX_STANDARD 11 CXX_EXTENSIONS OFF)
target_compile_options(morvane_header_cxx11 PRIVATE -Wall -Wextra -Wpedantic -Werror)
