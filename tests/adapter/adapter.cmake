# USB adapter library (libTavrix): unit tests through the simulated adapter.
set(TAVRIX_SIM_TESTS word_frame records bit_timing discovery transfer usb_protocol concurrency sim_usb_backend)
foreach(t ${TAVRIX_SIM_TESTS})
  if(EXISTS ${KIT_TEST_DIR}/test_${t}.cpp)
    kit_add_test(test_tavrix_${t} SOURCES ${KIT_TEST_DIR}/test_${t}.cpp LIBS tavrix_sim_core LABELS adapter)
  endif()
endforeach()

# The records compile as C99 and keep their layout: the checks are constant
# expressions, so building these objects is the test.
add_library(tavrix_records_c99 OBJECT ${KIT_TEST_DIR}/records_layout.c)
target_include_directories(tavrix_records_c99 PRIVATE ${CMAKE_SOURCE_DIR}/adapter/include)
set_target_properties(tavrix_records_c99 PROPERTIES C_STANDARD 99 C_EXTENSIONS OFF)
target_compile_options(tavrix_records_c99 PRIVATE -Wall -Wextra -Wpedantic -Werror)

# The same for a 32-bit target where the multilib compiler is installed. It
# is only compiled, never run: many kernels cannot start 32-bit programs.
if(NOT KIT_SANITIZE AND NOT KIT_FUZZ AND NOT WIN32)
  include(CheckCSourceCompiles)
  set(CMAKE_REQUIRED_FLAGS -m32)
  check_c_source_compiles("#include <stdint.h>\n#include <stddef.h>\nint main(void){return (int)sizeof(uint64_t) - 8;}" KIT_HAVE_M32)
  unset(CMAKE_REQUIRED_FLAGS)
  if(KIT_HAVE_M32)
    add_library(tavrix_records_m32 OBJECT ${KIT_TEST_DIR}/records_layout.c)
    target_include_directories(tavrix_records_m32 PRIVATE ${CMAKE_SOURCE_DIR}/adapter/include)
    set_target_properties(tavrix_records_m32 PROPERTIES C_STANDARD 99 C_EXTENSIONS OFF)
    target_compile_options(tavrix_records_m32 PRIVATE -m32 -Wall -Wextra -Wpedantic -Werror)
  else()
    message(STATUS "tavrix: no -m32 compiler; the 32-bit record layout check is not built")
  endif()
endif()

# The public header compiles as C++ on its own, pedantic, warnings as errors.
add_library(tavrix_header_cxx OBJECT ${KIT_TEST_DIR}/header_cxx.cpp)
target_include_directories(tavrix_header_cxx PRIVATE ${CMAKE_SOURCE_DIR}/adapter/include)
set_target_properties(tavrix_header_cxx PROPERTIES CXX_STANDARD 11 CXX_EXTENSIONS OFF)
target_compile_options(tavrix_header_cxx PRIVATE -Wall -Wextra -Wpedantic -Werror)

# libTavrix exports exactly the C interface (the listed names, as on every platform).
set(TAVRIX_EXPORTS "^(CAN_|CANFD_|USB_|OpenUSBDev$|CloseUSBDev$|Readusb_devNum$|Writeusb_devNum$|Reg_HotPlug_Func$)")
add_test(NAME tavrix_exports COMMAND ${CMAKE_SOURCE_DIR}/tests/check_exports.sh $<TARGET_FILE:Tavrix> "${TAVRIX_EXPORTS}"
  ${CMAKE_SOURCE_DIR}/tests/exports/Tavrix.txt)

# The shipped build without any USB bus: scans find nothing, opens fail.
kit_add_test(test_tavrix_libusb SOURCES ${KIT_TEST_DIR}/test_libusb_backend.cpp LIBS Tavrix LABELS adapter)
# The read length rule all backends share, through its private header.
kit_add_test(test_tavrix_usb_rules SOURCES ${KIT_TEST_DIR}/test_usb_rules.cpp LIBS kitusb_rules kitusb_common
  LABELS adapter)

if(TARGET TavrixSim)
  add_test(NAME tavrix_sim_exports
    COMMAND ${CMAKE_SOURCE_DIR}/tests/check_exports.sh $<TARGET_FILE:TavrixSim> "${TAVRIX_EXPORTS}")

  # An unchanged program linked against libTavrix.so picks the simulator build
  # when its folder comes first on the library path.
  kit_add_test(test_tavrix_sim_lib SOURCES ${KIT_TEST_DIR}/test_sim_lib.cpp LIBS Tavrix LABELS adapter)
  add_dependencies(test_tavrix_sim_lib TavrixSim)
  set_tests_properties(test_tavrix_sim_lib PROPERTIES ENVIRONMENT "LD_LIBRARY_PATH=${CMAKE_BINARY_DIR}/sim-lib")

  # The same program with a plugin device on the simulator's bus.
  add_library(tavrix_sim_echo_plugin MODULE ${KIT_TEST_DIR}/sim_echo_plugin.cpp ${CMAKE_SOURCE_DIR}/sim/canbus/src/sim_can_bus.cpp)
  target_include_directories(tavrix_sim_echo_plugin PRIVATE ${CMAKE_SOURCE_DIR}/sim/canbus/include)
  set_target_properties(tavrix_sim_echo_plugin PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  add_dependencies(test_tavrix_sim_lib tavrix_sim_echo_plugin)
  add_test(NAME test_tavrix_sim_lib_plugin COMMAND test_tavrix_sim_lib --gtest_filter=*Plugin*)
  set_tests_properties(test_tavrix_sim_lib_plugin PROPERTIES LABELS adapter ENVIRONMENT
    "LD_LIBRARY_PATH=${CMAKE_BINARY_DIR}/sim-lib;TAVRIX_SIM_PLUGIN=$<TARGET_FILE:tavrix_sim_echo_plugin>")
endif()

# The full nominal comparison of the timing settle against the plain loops.
add_test(NAME tavrix_timing_soak COMMAND test_tavrix_bit_timing --gtest_filter=BitTimingSoak.*)
set_tests_properties(tavrix_timing_soak PROPERTIES LABELS long ENVIRONMENT TAVRIX_TIMING_SOAK=1 TIMEOUT 3600)

# Windows: the libusbK backend itself, through the stand-in libusbK.dll.
if(WIN32)
  kit_add_test(test_tavrix_libusbk SOURCES ${KIT_TEST_DIR}/test_libusbk_backend.cpp LIBS tavrix_sim_core LABELS adapter)
endif()

# libTavrix.so over the real libusb against a scripted usbfs device (umockdev).
# It skips (77) where umockdev is missing, unless KIT_REQUIRE_UMOCKDEV is set.
if(NOT WIN32)
  find_package(PkgConfig QUIET)
  if(PkgConfig_FOUND)
    pkg_check_modules(UMOCKDEV QUIET IMPORTED_TARGET umockdev-1.0)
  endif()
  find_program(KIT_UMOCKDEV_WRAPPER umockdev-wrapper)
  if(TARGET PkgConfig::UMOCKDEV AND KIT_UMOCKDEV_WRAPPER)
    add_executable(test_tavrix_umockdev ${KIT_TEST_DIR}/test_libusb_umockdev.cpp ${KIT_TEST_DIR}/usbfs_adapter.cpp)
    # kitusb_platform: a copy of the libusb backend of its own, for the USB
    # layer's contract (libTavrix.so keeps its copy to itself).
    target_link_libraries(test_tavrix_umockdev PRIVATE Tavrix simadapter_obj simcan_obj kitusb_platform kitusb_common
      PkgConfig::UMOCKDEV GTest::gtest Threads::Threads)
    add_test(NAME test_tavrix_umockdev COMMAND ${KIT_UMOCKDEV_WRAPPER} $<TARGET_FILE:test_tavrix_umockdev>)
  else()
    add_test(NAME test_tavrix_umockdev COMMAND sh -c
      "echo 'SKIPPED: umockdev (libumockdev-dev, umockdev-wrapper) is not installed'; test -n \"$KIT_REQUIRE_UMOCKDEV\" && exit 1; exit 77")
  endif()
  set_tests_properties(test_tavrix_umockdev PROPERTIES LABELS adapter SKIP_RETURN_CODE 77 TIMEOUT 300)
  if(KIT_SANITIZE STREQUAL "thread")
    set_tests_properties(test_tavrix_umockdev PROPERTIES ENVIRONMENT_MODIFICATION
      "TSAN_OPTIONS=string_append::suppressions=${KIT_TEST_DIR}/umockdev_tsan.supp")
  endif()
endif()
