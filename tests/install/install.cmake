# `cmake --install` into a temporary prefix, then user projects built against
# it with find_package and with pkg-config. Not in sanitizer or fuzz builds,
# whose libraries need the sanitizer runtime in every program, nor in the
# Windows cross build (the check builds and runs consumer programs natively).
if(NOT KIT_SANITIZE AND NOT KIT_FUZZ AND NOT WIN32)
  add_test(NAME kit_install COMMAND ${KIT_TEST_DIR}/check_install.sh ${CMAKE_BINARY_DIR} ${CMAKE_INSTALL_LIBDIR}
    ${CMAKE_C_COMPILER} ${CMAKE_CXX_COMPILER} ${CMAKE_GENERATOR})
  set_tests_properties(kit_install PROPERTIES LABELS install TIMEOUT 300)
endif()
