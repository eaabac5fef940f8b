# Flat interface library (libMorvane_LV): result codes without devices, the
# RS485 path over a pseudo-terminal, the CAN-FD path through the simulated
# adapter, the EtherCAT path against simulated slaves on a veth pair. The
# RS485 scan probes ports by opening them: the tests that scan run with the
# machine's serial devices hidden (HIDE_MACHINE_PORTS).
if(TARGET morvane_lv_sim)
  kit_add_test(test_lv_no_instance SOURCES ${KIT_TEST_DIR}/test_lv_no_instance.cpp
    LIBS morvane_lv_sim LABELS flatlib HIDE_MACHINE_PORTS)
  kit_add_test(test_lv_canfd SOURCES ${KIT_TEST_DIR}/test_lv_canfd.cpp
    LIBS morvane_lv_sim LABELS flatlib TIMEOUT 300)
endif()
# The RS485 path over a pseudo-terminal that the test creates (Linux).
if(TARGET morvane_lv_sim AND NOT WIN32)
  kit_add_test(test_lv_rs485 SOURCES ${KIT_TEST_DIR}/test_lv_rs485.cpp
    LIBS morvane_lv_sim util LABELS flatlib TIMEOUT 300 HIDE_MACHINE_PORTS)
  if(TARGET kit_sim_hand)
    kit_add_test(test_lv_simhand SOURCES ${KIT_TEST_DIR}/test_lv_simhand.cpp
      LIBS morvane_lv_sim kit_sim_hand util LABELS flatlib TIMEOUT 300 HIDE_MACHINE_PORTS)
  endif()
  if(TARGET kit_ethercat_sim)
    # Needs a private network namespace; skips with the reason otherwise.
    kit_add_test(test_lv_ethercat SOURCES ${KIT_TEST_DIR}/test_lv_ethercat.cpp
      LIBS morvane_lv_sim kit_ethercat_sim LABELS flatlib TIMEOUT 300)
  endif()
endif()

# Windows: the RS485 path through the shipped DLL and a COM port that
# scripts/windows.sh maps to a simulated hand's pseudo-terminal.
if(WIN32)
  kit_add_test(test_lv_rs485_com SOURCES ${KIT_TEST_DIR}/test_lv_rs485_com.cpp
    LIBS Morvane_LV LABELS flatlib TIMEOUT 120)
endif()

# The same checks through the shipped libMorvane_LV.so (real libTavrix over
# libusb; no adapter is expected on a build machine).
kit_add_test(test_lv_shared_no_instance SOURCES ${KIT_TEST_DIR}/test_lv_no_instance.cpp
  LIBS Morvane_LV LABELS flatlib HIDE_MACHINE_PORTS)

# libMorvane_LV exports exactly the lv_* functions (the listed names, as on
# every platform).
add_test(NAME morvane_lv_exports
  COMMAND ${CMAKE_SOURCE_DIR}/tests/check_exports.sh $<TARGET_FILE:Morvane_LV> "^lv_"
  ${CMAKE_SOURCE_DIR}/tests/exports/Morvane_LV.txt)

# The public header compiles alone as C99 and as C++11, pedantic, warnings as errors.
add_library(morvane_lv_header_c99 OBJECT ${KIT_TEST_DIR}/header_c99.c)
target_include_directories(morvane_lv_header_c99 PRIVATE ${CMAKE_SOURCE_DIR}/flatlib/include)
set_target_properties(morvane_lv_header_c99 PROPERTIES C_STANDARD 99 C_EXTENSIONS OFF)
target_compile_options(morvane_lv_header_c99 PRIVATE -Wall -Wextra -Wpedantic -Werror)
add_library(morvane_lv_header_cxx11 OBJECT ${KIT_TEST_DIR}/header_cxx.cpp)
target_include_directories(morvane_lv_header_cxx11 PRIVATE ${CMAKE_SOURCE_DIR}/flatlib/include)
set_target_properties(morvane_lv_header_cxx11 PROPERTIES CXX_STANDARD 11 CXX_EXTENSIONS OFF)
target_compile_options(morvane_lv_header_cxx11 PRIVATE -Wall -Wextra -Wpedantic -Werror)
