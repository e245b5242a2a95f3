# What makes the shipped binaries a release: the same bytes from every build
# of a commit, a version resource, the debug information in a file of its
# own beside each binary, and their folder bin/, which holds nothing else.

# The date of a release is its commit's: the copyright year and anything else
# that needs a date take it from SOURCE_DATE_EPOCH, which string(TIMESTAMP)
# honours. Outside a git checkout, without SOURCE_DATE_EPOCH, the date is
# today's and the build is not reproducible.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(
    COMMAND git -C "${PROJECT_SOURCE_DIR}" log -1 --format=%ct
    OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE git_status ERROR_QUIET)
  if(git_status EQUAL 0 AND commit_time MATCHES "^[0-9]+$")
    set(ENV{SOURCE_DATE_EPOCH} "${commit_time}")
  else()
    message(WARNING "no commit date and no SOURCE_DATE_EPOCH: the binaries "
                    "carry today's year and are not reproducible")
  endif()
endif()
string(TIMESTAMP VELUNOR_RELEASE_YEAR "%Y" UTC)

# The version as the resources and the tests read it.
add_library(velunor_version INTERFACE)
configure_file("${PROJECT_SOURCE_DIR}/common/version.h.in"
               "${CMAKE_BINARY_DIR}/generated/velunor_version.h" @ONLY)
target_include_directories(velunor_version
                           INTERFACE "${CMAKE_BINARY_DIR}/generated")

if(WIN32 AND NOT MSVC)
  # No folder of the build machine in any object: the build tree, the source
  # tree and OpenSSL's headers (which lie wherever its cache does, under HOME
  # by default) get fixed names. The first map that matches a path is the one
  # taken, so the build tree, inside the source tree in the presets, comes
  # first. Absolute names, so that tools print a source file's name as it is
  # and do not join it to the compiler's folder.
  # No trailing slash: the compiler's folder, the build tree itself, matches
  # too.
  add_compile_options("-ffile-prefix-map=${CMAKE_BINARY_DIR}=/velunor-update/build"
                      "-ffile-prefix-map=${PROJECT_SOURCE_DIR}=/velunor-update")
  if(OPENSSL_INCLUDE_DIR)
    add_compile_options("-ffile-prefix-map=${OPENSSL_INCLUDE_DIR}=/openssl/include")
  endif()
  # No time stamp in the PE headers.
  add_link_options("LINKER:--no-insert-timestamp")
endif()

# velunor_release_binary(TARGET [FOLDER NAME])
# A binary that goes onto PCs: built in bin/ (its folder NAME there, if
# given; see VelunorOutputs.cmake), stripped after its link, its debug
# information kept in TARGET_FILE.debug beside it and named in the binary's
# .gnu_debuglink so that a debugger finds it. The tests run the stripped
# binary: what ships is what is tested. The link's CRC covers the debug file,
# which the prefix maps make reproducible too.
function(velunor_release_binary target)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "FOLDER" "")
  set(folder "${VELUNOR_BIN_DIRECTORY}")
  if(ARG_FOLDER)
    set(folder "${folder}/${ARG_FOLDER}")
  endif()
  set_target_properties(${target} PROPERTIES
                        RUNTIME_OUTPUT_DIRECTORY "${folder}"
                        LIBRARY_OUTPUT_DIRECTORY "${folder}")
  if(NOT WIN32 OR MSVC)
    return()
  endif()
  set(binary "$<TARGET_FILE:${target}>")
  # objcopy and strip write the time of their run into a PE header unless
  # SOURCE_DATE_EPOCH says otherwise: 0, no time stamp, as the linker left it.
  set(no_time "${CMAKE_COMMAND}" -E env SOURCE_DATE_EPOCH=0)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${no_time} "${CMAKE_OBJCOPY}" --only-keep-debug "${binary}"
                                          "${binary}.debug"
    COMMAND ${no_time} "${CMAKE_STRIP}" --strip-all "${binary}"
    COMMAND ${no_time} "${CMAKE_OBJCOPY}" "--add-gnu-debuglink=${binary}.debug"
                                          "${binary}"
    WORKING_DIRECTORY "$<TARGET_FILE_DIR:${target}>"
    VERBATIM)
endfunction()
