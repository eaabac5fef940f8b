# EtherCAT master (platform/ethercat) and its simulated slave (sim/ethercat).
kit_add_test(test_ethercat_codec
  SOURCES ${KIT_TEST_DIR}/test_ethercat_codec.cpp
  LIBS kit_ethercat_internal)
if(TARGET kit_ethercat_sim)
  kit_add_test(test_ethercat_sim_model
    SOURCES ${KIT_TEST_DIR}/test_ethercat_sim_model.cpp
    LIBS kit_ethercat_sim)
  # Needs a private network namespace (root or CAP_SYS_ADMIN); skips with the
  # reason otherwise.
  kit_add_test(test_ethercat_veth
    SOURCES ${KIT_TEST_DIR}/test_ethercat_veth.cpp
    LIBS kit_ethercat kit_ethercat_sim
    TIMEOUT 300)
endif()

# The master's public header compiles alone as C++11, pedantic, warnings as errors.
add_library(ethercat_header_cxx11 OBJECT ${KIT_TEST_DIR}/header_cxx11.cpp)
target_include_directories(ethercat_header_cxx11 PRIVATE ${CMAKE_SOURCE_DIR}/platform/ethercat/include)
set_target_properties(ethercat_header_cxx11 PROPERTIES CXX_STANDARD 11 CXX_EXTENSIONS OFF)
target_compile_options(ethercat_header_cxx11 PRIVATE -Wall -Wextra -Wpedantic -Werror)
