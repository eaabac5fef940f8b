# The port classes of the demos and the flat library over a stand-in for
# kit_serial whose handle runs one call at a time, as a synchronous Win32
# handle does. Their sources are built in here, linked against the stand-in
# instead of kit_serial; the same test runs natively and under wine.
kit_add_test(test_port_close_order SOURCES ${KIT_TEST_DIR}/test_port_close_order.cpp
  ${KIT_TEST_DIR}/serialised_port.cpp
  ${CMAKE_SOURCE_DIR}/demos/common/serial_port.cpp ${CMAKE_SOURCE_DIR}/flatlib/src/com_port.cpp
  LABELS serial TIMEOUT 120)
target_include_directories(test_port_close_order PRIVATE ${KIT_TEST_DIR} ${CMAKE_SOURCE_DIR}/demos/common
  ${CMAKE_SOURCE_DIR}/flatlib/src ${CMAKE_SOURCE_DIR}/platform/serial/include)
