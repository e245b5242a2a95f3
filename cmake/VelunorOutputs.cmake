# Where the build puts its programs and DLLs. bin/ holds only what goes onto
# a PC: the service program, the upgrade library, the runner and its recorder
# (velunor_release_binary puts each there), so the folder can be copied as it
# is. Everything built only to test or measure goes to test-bin/: the test
# programs, the virtual device's AdbWinApi.dll and the other stand-ins, the
# benchmarks and the fuzz targets. A fake USB library never lies beside the
# real tools. The two folders are siblings: a test program finds the shipped
# files in ..\bin\ from its own folder (testing/program_files.h).
set(VELUNOR_BIN_DIRECTORY "${CMAKE_BINARY_DIR}/bin")
set(VELUNOR_TEST_BIN_DIRECTORY "${CMAKE_BINARY_DIR}/test-bin")
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY "${VELUNOR_TEST_BIN_DIRECTORY}")
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY "${VELUNOR_TEST_BIN_DIRECTORY}")
