# Command frame encoders, reply decoders and motion commands.
kit_add_test(test_frame_encoders SOURCES ${KIT_TEST_DIR}/test_frame_encoders.cpp LIBS morvane_core)
kit_add_test(test_reply_decoders SOURCES ${KIT_TEST_DIR}/test_reply_decoders.cpp LIBS morvane_core)
kit_add_test(test_motion_commands SOURCES ${KIT_TEST_DIR}/test_motion_commands.cpp LIBS morvane_core)
