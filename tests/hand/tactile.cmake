# Tactile channels and taxel layouts.
kit_add_test(test_tactile_channels SOURCES ${KIT_TEST_DIR}/test_tactile_channels.cpp LIBS morvane_core)
kit_add_test(test_tactile_concurrency SOURCES ${KIT_TEST_DIR}/test_tactile_concurrency.cpp LIBS morvane_core
  LABELS concurrency)
kit_add_test(test_sensor_geometry SOURCES ${KIT_TEST_DIR}/test_sensor_geometry.cpp LIBS morvane_core)
# Its own program: the layouts must not have been built before the race.
kit_add_test(test_sensor_geometry_first_use SOURCES ${KIT_TEST_DIR}/test_sensor_geometry_first_use.cpp
  LIBS morvane_core LABELS concurrency)
