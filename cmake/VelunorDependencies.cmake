# OpenSSL libcrypto: the system's one dependency. On the host it is Debian's;
# for Windows, the static mingw build that scripts/build-openssl-mingw.sh
# caches (the windows preset points OPENSSL_ROOT_DIR at it).
if(WIN32)
  set(OPENSSL_USE_STATIC_LIBS TRUE)
  if(CMAKE_CROSSCOMPILING AND OPENSSL_ROOT_DIR)
    # The cross-build searches only below its find roots.
    list(APPEND CMAKE_FIND_ROOT_PATH "${OPENSSL_ROOT_DIR}")
  endif()
endif()
find_package(OpenSSL REQUIRED COMPONENTS Crypto)

if(VELUNOR_TESTS)
  # GoogleTest from Debian's sources, built with this build's compiler.
  set(VELUNOR_GOOGLETEST_SOURCE "/usr/src/googletest" CACHE PATH
      "GoogleTest source tree")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory("${VELUNOR_GOOGLETEST_SOURCE}"
                   "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL SYSTEM)
endif()
