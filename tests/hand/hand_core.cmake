# Hand object: construction, lifecycle, joint model, joint status, class layer.
kit_add_test(test_hand_lifecycle SOURCES ${KIT_TEST_DIR}/test_hand_lifecycle.cpp LIBS morvane_core)
kit_add_test(test_hand_class_layer SOURCES ${KIT_TEST_DIR}/test_hand_class_layer.cpp LIBS morvane_core)
kit_add_test(test_joint_model SOURCES ${KIT_TEST_DIR}/test_joint_model.cpp LIBS morvane_core)
kit_add_test(test_hand_getters_concurrency SOURCES ${KIT_TEST_DIR}/test_hand_getters_concurrency.cpp
  LIBS morvane_core)
