# The simulated hand's readers of host frames.
kit_add_fuzzer(fuzz_sim_hand_frames SOURCES ${KIT_FUZZ_DIR}/fuzz_sim_hand_frames.cpp LIBS kit_sim_hand)
