# The Windows builds of the demos run under wine, driven from the Linux side
# (scripts/windows.sh sets the environment; without it the cases skip).
if(NOT WIN32 AND TARGET demo_pty_hand)
  kit_add_test(test_demos_wine_e2e SOURCES ${KIT_TEST_DIR}/test_demos_wine_e2e.cpp ${KIT_TEST_DIR}/child_process.cpp
    LIBS demo_pty_hand LABELS "demos;wine" TIMEOUT 600)
  set_tests_properties(test_demos_wine_e2e PROPERTIES SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
endif()
