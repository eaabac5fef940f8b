# Frame encoders and reply decoders.
kit_add_bench(bench_frames SOURCES ${KIT_BENCH_DIR}/frames.cpp LIBS morvane_core)
