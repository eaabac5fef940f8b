# Reply decoders: one target per decode entry point, from one source.
set(_frames_fuzzers fuzz_decode_tpdo fuzz_decode_canfd fuzz_decode_can fuzz_handle_rs485_frame)
foreach(_i RANGE 3)
  list(GET _frames_fuzzers ${_i} _name)
  kit_add_fuzzer(${_name} SOURCES ${KIT_FUZZ_DIR}/decoders.cpp LIBS morvane_core)
  target_compile_definitions(${_name} PRIVATE FUZZ_ENTRY=${_i})
endforeach()
