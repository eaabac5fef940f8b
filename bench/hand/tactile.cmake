kit_add_bench(bench_tactile SOURCES ${KIT_BENCH_DIR}/tactile.cpp LIBS morvane_core)
