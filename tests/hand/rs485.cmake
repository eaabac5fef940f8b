# RS485 bus context: wire framing, the receive parser, and the worker's order,
# pacing and shutdown, driven through fake hands and a recording line.
kit_add_test(test_rs485_framing SOURCES ${KIT_TEST_DIR}/test_rs485_framing.cpp LIBS morvane_core TIMEOUT 120)
kit_add_test(test_rs485_worker SOURCES ${KIT_TEST_DIR}/test_rs485_worker.cpp LIBS morvane_core TIMEOUT 300)
# The exported bus object with real hands on it.
kit_add_test(test_rs485_shared_bus SOURCES ${KIT_TEST_DIR}/test_rs485_shared_bus.cpp LIBS morvane_core TIMEOUT 300)
