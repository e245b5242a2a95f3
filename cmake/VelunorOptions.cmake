# Compiler settings shared by every target of ours (not by third-party code).
add_library(velunor_options INTERFACE)
target_include_directories(velunor_options INTERFACE "${PROJECT_SOURCE_DIR}")

if(MSVC)
  target_compile_options(velunor_options INTERFACE /W4 /WX /utf-8)
  target_compile_definitions(velunor_options INTERFACE
    _CRT_SECURE_NO_WARNINGS UNICODE _UNICODE WIN32_LEAN_AND_MEAN)
else()
  target_compile_options(velunor_options INTERFACE -Wall -Wextra -Werror)
  if(WIN32)
    target_compile_definitions(velunor_options INTERFACE
      UNICODE _UNICODE WIN32_LEAN_AND_MEAN __USE_MINGW_ANSI_STDIO=1)
    # The binaries carry libgcc, libstdc++ and winpthreads inside, so they need
    # no mingw runtime DLL beside them.
    target_link_options(velunor_options INTERFACE -static)
  endif()
endif()

if(VELUNOR_SANITIZE AND NOT WIN32)
  # Global, so the test framework and every library agree on the runtime.
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(VELUNOR_FUZZ)
  if(WIN32 OR NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "The fuzz build needs clang's libFuzzer on the host")
  endif()
  # Coverage for the fuzzer in every library of ours; the targets link the
  # fuzzer's own main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined
                      -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
