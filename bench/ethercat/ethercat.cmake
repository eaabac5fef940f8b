# The 5 ms EtherCAT cycle against the simulated hand (needs root for the
# network namespace; not part of the pass/fail suite).
kit_add_bench(bench_ethercat_cycle SOURCES ${KIT_BENCH_DIR}/bench_ethercat_cycle.cpp
  LIBS kit_ethercat kit_ethercat_sim)
