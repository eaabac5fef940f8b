# The RS485 reply parser fed with arbitrary bytes in arbitrary chunks.
kit_add_fuzzer(fuzz_rs485_receive SOURCES ${KIT_FUZZ_DIR}/rs485_receive.cpp LIBS morvane_core)
