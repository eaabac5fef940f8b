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

# Windows: the wpcap backend under wine. The slaves run natively: give the
# ethercat_sim_slave of a Linux build tree in KIT_HOST_ETHERCAT_SIM_SLAVE
# (scripts/windows.sh does); without it, or without network namespaces, the
# bus test skips with the reason.
if(WIN32)
  kit_add_test(test_ethercat_wpcap SOURCES ${KIT_TEST_DIR}/test_ethercat_wpcap.cpp LIBS kit_ethercat)
  set(KIT_HOST_ETHERCAT_SIM_SLAVE "" CACHE FILEPATH "Native ethercat_sim_slave for the wpcap bus test")
  add_test(NAME test_ethercat_wpcap_veth COMMAND ${KIT_TEST_DIR}/run_wpcap_link.sh
    $<TARGET_FILE:test_ethercat_wpcap> "${KIT_HOST_ETHERCAT_SIM_SLAVE}" 2)
  set_tests_properties(test_ethercat_wpcap_veth PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300 RUN_SERIAL ON)
endif()
