# Published-value getters against a bare atomic load and indexed read.
kit_add_bench(bench_getters SOURCES ${KIT_BENCH_DIR}/getters.cpp LIBS morvane_core)
