# Report-to-getter latency on CAN-FD and the RS485 worker's spacing, against
# the simulated hand.
kit_add_bench(bench_sim_hand SOURCES ${KIT_BENCH_DIR}/bench_sim_hand.cpp LIBS Morvane kit_sim_hand)
