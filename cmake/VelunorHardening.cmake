# Hardening of the Windows build: every target of ours compiles and links this
# way, so the code the tests drive is the code that ships. The checks of the
# two shipped binaries (testing/shipped_binaries_test.py) fail when any of it
# goes missing.
if(NOT WIN32 OR MSVC)
  return()
endif()

# Stack canaries in every function with an array or an address taken, and
# the bounds-checked forms of the string and memory calls where the compiler
# knows the buffer's size (mingw-w64 headers, level 2 needs optimisation).
# The checks' runtime, libssp, is linked statically like the rest of the
# runtime: with -static the driver's -lssp takes libssp.a, so no DLL joins
# the binaries.
target_compile_options(velunor_options INTERFACE -fstack-protector-strong)
target_compile_definitions(velunor_options INTERFACE
  $<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
target_link_options(velunor_options INTERFACE -fstack-protector-strong)

# Address space layout randomisation with the whole 64-bit range, and no
# execution from data pages. The linker's defaults today; said here so a
# change of toolchain cannot drop them unnoticed.
target_link_options(velunor_options INTERFACE
  LINKER:--dynamicbase LINKER:--high-entropy-va LINKER:--nxcompat)

# No path of the machine that built them in the binaries: the prefix maps
# of the release build (cmake/release.cmake) give the source tree, the build
# tree and the cached OpenSSL fixed names.
