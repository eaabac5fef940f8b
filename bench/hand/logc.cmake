kit_add_bench(bench_frame_log SOURCES ${KIT_BENCH_DIR}/frame_log_bench.cpp ${CMAKE_SOURCE_DIR}/hand/src/frame_log.cpp)
target_include_directories(bench_frame_log PRIVATE ${CMAKE_SOURCE_DIR}/hand/src)
