# The master's receive parser, its SII and mailbox/CoE parsers, and the simulated slave.
kit_add_fuzzer(fuzz_ethercat_reply SOURCES ${KIT_FUZZ_DIR}/fuzz_ethercat_reply.cpp LIBS kit_ethercat_internal)
kit_add_fuzzer(fuzz_ethercat_sii SOURCES ${KIT_FUZZ_DIR}/fuzz_ethercat_sii.cpp LIBS kit_ethercat_internal)
kit_add_fuzzer(fuzz_ethercat_sim_frame SOURCES ${KIT_FUZZ_DIR}/fuzz_ethercat_sim_frame.cpp LIBS kit_ethercat_sim)
kit_add_fuzzer(fuzz_ethercat_coe SOURCES ${KIT_FUZZ_DIR}/fuzz_ethercat_coe.cpp LIBS kit_ethercat_internal)
