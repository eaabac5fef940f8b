# The simulated hand against the hand library, one group per bus, through
# the public class interface and the C interface.
set(SIMHAND_TEST_LIBS Morvane kit_sim_hand)
kit_add_test(test_e2e_canfd SOURCES ${KIT_TEST_DIR}/test_e2e_canfd.cpp LIBS ${SIMHAND_TEST_LIBS} TIMEOUT 180)
kit_add_test(test_e2e_rs485 SOURCES ${KIT_TEST_DIR}/test_e2e_rs485.cpp LIBS ${SIMHAND_TEST_LIBS} TIMEOUT 180)
# Over a pseudo-terminal, through the demos' serial port, where there is one.
if(TARGET demo_pty_hand AND TARGET demo_common)
  target_sources(test_e2e_rs485 PRIVATE ${KIT_TEST_DIR}/test_e2e_rs485_pty.cpp)
  target_link_libraries(test_e2e_rs485 PRIVATE demo_pty_hand demo_common)
endif()
kit_add_test(test_e2e_ethercat SOURCES ${KIT_TEST_DIR}/test_e2e_ethercat.cpp LIBS ${SIMHAND_TEST_LIBS} TIMEOUT 180)
kit_add_test(test_e2e_can SOURCES ${KIT_TEST_DIR}/test_e2e_can.cpp LIBS ${SIMHAND_TEST_LIBS} TIMEOUT 180)
kit_add_test(test_e2e_c_interface SOURCES ${KIT_TEST_DIR}/test_e2e_c_interface.cpp LIBS ${SIMHAND_TEST_LIBS} TIMEOUT 180)
kit_add_test(test_sim_faults SOURCES ${KIT_TEST_DIR}/test_faults.cpp LIBS ${SIMHAND_TEST_LIBS} TIMEOUT 240)
# Library faults found with the simulator, kept as regression tests.
kit_add_test(test_sim_library_findings SOURCES ${KIT_TEST_DIR}/test_library_findings.cpp
  LIBS ${SIMHAND_TEST_LIBS} TIMEOUT 120)
# About a minute; the default test command skips it (ctest -LE soak).
if(NOT WIN32)
  kit_add_test(test_sim_soak SOURCES ${KIT_TEST_DIR}/test_soak.cpp LIBS ${SIMHAND_TEST_LIBS} LABELS soak TIMEOUT 180)
endif()
kit_add_test(test_sim_device SOURCES ${KIT_TEST_DIR}/test_sim_device.cpp LIBS kit_sim_hand TIMEOUT 60)
# The same for ten minutes after three minutes' warm-up, resident memory
# growing less than 64 KiB; run by hand, not by the default command.
add_test(NAME test_sim_soak_long COMMAND test_sim_soak)
set_tests_properties(test_sim_soak_long PROPERTIES LABELS long TIMEOUT 1200
  ENVIRONMENT MORVANE_SOAK_MINUTES=10)
