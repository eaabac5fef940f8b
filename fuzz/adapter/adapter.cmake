# USB adapter library: the reply parsers, and bytes through the simulated
# adapter's pipes into the library.
kit_add_fuzzer(fuzz_tavrix_parsers SOURCES ${KIT_FUZZ_DIR}/fuzz_parsers.cpp LIBS tavrix_sim_core)
kit_add_fuzzer(fuzz_tavrix_pipes SOURCES ${KIT_FUZZ_DIR}/fuzz_pipes.cpp LIBS tavrix_sim_core)
