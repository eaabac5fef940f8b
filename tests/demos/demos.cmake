# Demo programs: shared console code, the serial port, the console layer,
# the CAN channel library, and end-to-end runs against simulated hands.
# Windows builds run them under wine from the Linux side (windows_e2e.cmake).
# The serial port tests and the RS485 demos list ports: they run with the
# machine's serial devices hidden (HIDE_MACHINE_PORTS).
if(WIN32)
  return()
endif()
if(TARGET demo_common)
  kit_add_test(test_demo_prompt_int SOURCES ${KIT_TEST_DIR}/test_prompt_int.cpp LIBS demo_common LABELS demos)
  kit_add_test(test_demo_serial_port SOURCES ${KIT_TEST_DIR}/test_serial_port.cpp LIBS demo_common
    LABELS demos TIMEOUT 120 HIDE_MACHINE_PORTS)
endif()

if(TARGET demo_common AND TARGET kit_sim_hand)
  kit_add_test(test_demo_sensor_line SOURCES ${KIT_TEST_DIR}/test_sensor_line.cpp LIBS demo_common kit_sim_hand
    LABELS demos)
endif()

# The console layer with standard input a pipe or /dev/null, as in CI.
if(TARGET kit_console)
  add_executable(console_probe ${KIT_TEST_DIR}/console_probe.cpp)
  target_link_libraries(console_probe PRIVATE kit_console)
  kit_add_test(test_demo_console SOURCES ${KIT_TEST_DIR}/test_console.cpp ${KIT_TEST_DIR}/child_process.cpp
    LABELS demos TIMEOUT 120)
  target_compile_definitions(test_demo_console PRIVATE CONSOLE_PROBE_PATH="$<TARGET_FILE:console_probe>")
  add_dependencies(test_demo_console console_probe)
endif()

if(TARGET kitpcan_sim_core)
  kit_add_test(test_demo_kitpcan SOURCES ${KIT_TEST_DIR}/test_kitpcan.cpp LIBS kitpcan_sim_core LABELS demos)
endif()

if(TARGET rs485_demo AND TARGET demo_pty_hand)
  kit_add_test(test_demo_rs485_e2e SOURCES ${KIT_TEST_DIR}/test_rs485_demo_e2e.cpp ${KIT_TEST_DIR}/child_process.cpp
    LIBS demo_pty_hand LABELS demos TIMEOUT 300 HIDE_MACHINE_PORTS)
  target_compile_definitions(test_demo_rs485_e2e PRIVATE RS485_DEMO_PATH="$<TARGET_FILE:rs485_demo>")
  add_dependencies(test_demo_rs485_e2e rs485_demo)
endif()

if(TARGET rs485_bus_demo AND TARGET demo_pty_hand)
  kit_add_test(test_demo_rs485_bus_e2e SOURCES ${KIT_TEST_DIR}/test_rs485_bus_demo_e2e.cpp
    ${KIT_TEST_DIR}/child_process.cpp LIBS demo_pty_hand LABELS demos TIMEOUT 300 HIDE_MACHINE_PORTS)
  target_compile_definitions(test_demo_rs485_bus_e2e PRIVATE RS485_BUS_DEMO_PATH="$<TARGET_FILE:rs485_bus_demo>")
  add_dependencies(test_demo_rs485_bus_e2e rs485_bus_demo)
endif()

# pcan_demo and canfd_demo load the simulator builds in <build>/sim-hand-lib.
if(TARGET pcan_demo AND TARGET KitPcanSimHand AND TARGET canfd_demo AND TARGET TavrixSimHand)
  kit_add_test(test_demo_can_e2e SOURCES ${KIT_TEST_DIR}/test_can_demos_e2e.cpp ${KIT_TEST_DIR}/child_process.cpp
    LABELS demos TIMEOUT 300)
  target_compile_definitions(test_demo_can_e2e PRIVATE
    PCAN_DEMO_PATH="$<TARGET_FILE:pcan_demo>" CANFD_DEMO_PATH="$<TARGET_FILE:canfd_demo>"
    SIM_HAND_LIB_DIR="${CMAKE_BINARY_DIR}/sim-hand-lib")
  add_dependencies(test_demo_can_e2e pcan_demo canfd_demo KitPcanSimHand TavrixSimHand)
endif()

# kitpcan's public header is C99; its shared libraries export only kitpcan_*.
if(TARGET KitPcan)
  add_library(kitpcan_header_c99 OBJECT ${KIT_TEST_DIR}/kitpcan_header_c99.c)
  target_include_directories(kitpcan_header_c99 PRIVATE ${CMAKE_SOURCE_DIR}/platform/pcan/include)
  set_target_properties(kitpcan_header_c99 PROPERTIES C_STANDARD 99 C_EXTENSIONS OFF)
  target_compile_options(kitpcan_header_c99 PRIVATE -Wall -Wextra -Wpedantic -Werror)
  add_test(NAME kitpcan_exports
    COMMAND ${CMAKE_SOURCE_DIR}/tests/check_exports.sh $<TARGET_FILE:KitPcan> "^kitpcan_")
endif()
if(TARGET KitPcanSimHand)
  add_test(NAME kitpcan_sim_hand_exports
    COMMAND ${CMAKE_SOURCE_DIR}/tests/check_exports.sh $<TARGET_FILE:KitPcanSimHand> "^kitpcan_")
endif()
if(TARGET TavrixSimHand AND DEFINED TAVRIX_EXPORTS)
  add_test(NAME tavrix_sim_hand_exports
    COMMAND ${CMAKE_SOURCE_DIR}/tests/check_exports.sh $<TARGET_FILE:TavrixSimHand> "${TAVRIX_EXPORTS}")
endif()

# The CAN transports of canfd_demo and pcan_demo against simulated hardware.
if(TARGET tavrix_sim_core AND TARGET kitpcan_sim_core)
  kit_add_test(test_demo_transports SOURCES ${KIT_TEST_DIR}/test_demo_transports.cpp
    ${CMAKE_SOURCE_DIR}/demos/canfd_demo/canfd_master.cpp ${CMAKE_SOURCE_DIR}/demos/pcan_demo/pcan_bus.cpp
    LIBS tavrix_sim_core kitpcan_sim_core kit_canfd_codes LABELS demos TIMEOUT 120)
  target_include_directories(test_demo_transports PRIVATE ${CMAKE_SOURCE_DIR}/demos/canfd_demo
    ${CMAKE_SOURCE_DIR}/demos/pcan_demo)
endif()
