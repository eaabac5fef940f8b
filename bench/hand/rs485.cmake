# Receive parser throughput on a stream of valid status frames.
kit_add_bench(bench_rs485_receive SOURCES ${KIT_BENCH_DIR}/rs485_receive.cpp LIBS morvane_core)
