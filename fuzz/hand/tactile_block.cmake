kit_add_fuzzer(fuzz_tactile_block SOURCES ${KIT_FUZZ_DIR}/tactile_block.cpp LIBS morvane_core)
