# USB adapter library: timing settle and frame throughput against the simulator.
kit_add_bench(bench_tavrix SOURCES ${KIT_BENCH_DIR}/bench_tavrix.cpp LIBS tavrix_sim_core)
target_include_directories(bench_tavrix PRIVATE ${CMAKE_SOURCE_DIR}/tests/adapter)
