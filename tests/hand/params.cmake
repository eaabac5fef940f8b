# Drive parameters, device settings, identification, OTA data and the monitor.
kit_add_test(test_drive_params
  SOURCES ${KIT_TEST_DIR}/test_drive_params.cpp
  LIBS morvane_core)
kit_add_test(test_monitor
  SOURCES ${KIT_TEST_DIR}/test_monitor.cpp
  LIBS morvane_core)
kit_add_test(test_drive_params_identity
  SOURCES ${KIT_TEST_DIR}/test_drive_params_identity.cpp
  LIBS morvane_core)
kit_add_test(test_drive_params_rs485
  SOURCES ${KIT_TEST_DIR}/test_drive_params_rs485.cpp
  LIBS morvane_core)
