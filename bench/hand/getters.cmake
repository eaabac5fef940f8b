# Published-value getters against a bare atomic load and indexed read. Every
# loop head starts a cache line, so a getter and its floor are timed on the
# same footing: otherwise where the linker happens to put a loop moves a
# nanosecond-scale result by a quarter.
kit_add_bench(bench_getters SOURCES ${KIT_BENCH_DIR}/getters.cpp LIBS morvane_core)
target_compile_options(bench_getters PRIVATE -falign-loops=64)
