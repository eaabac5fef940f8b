# Getters and decoders without heap allocation, counted by an allocator that
# the test program puts in front of glibc's (sanitizer builds: their hooks).
# Linux only: the counter forwards to glibc's own allocator.
if(TARGET morvane_lv_sim AND TARGET morvane_tactile_frame AND NOT WIN32)
  kit_add_test(test_no_allocation SOURCES ${KIT_TEST_DIR}/test_no_allocation.cpp
    LIBS morvane_lv_sim morvane_tactile_frame)
endif()
