# Parameter and OTA replies: direct entry points and through the CAN-FD decoder.
kit_add_fuzzer(fuzz_param_reply SOURCES ${KIT_FUZZ_DIR}/param_reply.cpp LIBS morvane_core)
