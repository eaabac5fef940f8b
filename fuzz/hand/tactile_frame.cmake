# Tactile frame decoder: one target per entry point that reads bytes.
set(_tactile_fuzz_entries
  fuzz_tactile_find_frame_end=1
  fuzz_tactile_decode_sensor_frame=2
  fuzz_tactile_parse_sensor_text=3
  fuzz_tactile_unpack_float_array=4)
foreach(_entry ${_tactile_fuzz_entries})
  string(REPLACE "=" ";" _pair ${_entry})
  list(GET _pair 0 _name)
  list(GET _pair 1 _number)
  kit_add_fuzzer(${_name} SOURCES ${KIT_FUZZ_DIR}/tactile_frame_fuzz.cpp LIBS morvane_tactile_frame)
  target_compile_definitions(${_name} PRIVATE TACTILE_FUZZ_ENTRY=${_number})
endforeach()
