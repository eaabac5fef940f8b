# Warnings, sanitizers and the helpers that every subsystem's CMake uses.

add_compile_options(-Wall -Wextra)

if(KIT_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
  add_compile_definitions(KIT_SANITIZER_BUILD=1)
elseif(KIT_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
  add_compile_definitions(KIT_SANITIZER_BUILD=1 KIT_TSAN_BUILD=1)
elseif(NOT KIT_SANITIZE STREQUAL "")
  message(FATAL_ERROR "KIT_SANITIZE must be empty, 'address' or 'thread'")
endif()

if(KIT_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "KIT_FUZZ needs clang")
  endif()
  # Everything is instrumented for coverage; only the fuzz targets get a main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(WIN32)
  # Writes the DLLs' import libraries (kit_shared_library).
  find_program(KIT_LLVM_DLLTOOL llvm-dlltool)
  if(NOT KIT_LLVM_DLLTOOL)
    message(FATAL_ERROR "The Windows build needs llvm-dlltool (Debian package llvm) for the import libraries")
  endif()
endif()

# kit_shared_library(<target> VERSION_SCRIPT <file> SOURCES ...):
# a shared library with hidden visibility whose exports are fixed by a
# linker version script, so template instantiations of the standard library
# never leak into the ABI.
function(kit_shared_library target)
  cmake_parse_arguments(A "" "VERSION_SCRIPT;SOVERSION" "SOURCES;LIBS" ${ARGN})
  add_library(${target} SHARED ${A_SOURCES})
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET hidden C_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  if(A_SOVERSION)
    set_target_properties(${target} PROPERTIES SOVERSION ${A_SOVERSION}
      VERSION ${A_SOVERSION}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH})
  endif()
  if(WIN32)
    # Morvane.dll with its import library Morvane.lib and the export list
    # Morvane.def (beside the import library). The exports are what the
    # headers mark for export; names of __stdcall functions keep no @n suffix
    # on 32-bit.
    set_target_properties(${target} PROPERTIES PREFIX "" IMPORT_PREFIX "" IMPORT_SUFFIX ".lib")
    set(def "$<TARGET_LINKER_FILE_DIR:${target}>/$<TARGET_FILE_BASE_NAME:${target}>.def")
    target_link_options(${target} PRIVATE "-Wl,--output-def,${def}")
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      target_link_options(${target} PRIVATE -Wl,--kill-at)
      set(machine i386)
    else()
      set(machine i386:x86-64)
    endif()
    # The import library that ld writes is replaced by one in the short
    # import format: ld's has no SafeSEH marker, so a 32-bit Visual C++ link
    # (/SAFESEH by default) refuses it; this one links there and with ld.
    # On 32-bit it keeps the callers' decorated names (name@n) and imports
    # each by its plain name (-k).
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E copy "${def}" "${def}.decorated"
      COMMAND sed -i -E "s/^([[:space:]]*)[^[:space:]]+ = ([^[:space:]]+@[0-9]+)/\\1\\2/" "${def}.decorated"
      COMMAND ${KIT_LLVM_DLLTOOL} -m ${machine} -k -D $<TARGET_FILE_NAME:${target}> -d "${def}.decorated"
              -l $<TARGET_LINKER_FILE:${target}>
      VERBATIM)
    if(KIT_TESTS)
      # A copy for the test programs, which live apart from what ships.
      add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E make_directory ${KIT_TEST_BIN_DIR}
        COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${target}> ${KIT_TEST_BIN_DIR}
        VERBATIM)
    endif()
  elseif(A_VERSION_SCRIPT)
    target_link_options(${target} PRIVATE "-Wl,--version-script=${A_VERSION_SCRIPT}")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${A_VERSION_SCRIPT})
  endif()
  if(A_LIBS)
    target_link_libraries(${target} PRIVATE ${A_LIBS})
  endif()
endfunction()

# Objects compiled for both a shared library and the in-process tests.
function(kit_object_library target)
  add_library(${target} OBJECT ${ARGN})
  set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden C_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
endfunction()
