# Installs into a scratch prefix and packs the release archive, then checks that both hold what a user
# needs: the program, its manual page (POSIX) or README (Windows), and the license.
# Run with: cmake -DBUILD_DIR=... -DWINDOWS=ON|OFF -DARCHIVE=... -P check_package.cmake
set(scratch ${BUILD_DIR}/package-check)
file(REMOVE_RECURSE ${scratch})

execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${scratch}/prefix
                RESULT_VARIABLE failed OUTPUT_QUIET)
if(failed)
  message(FATAL_ERROR "cmake --install failed")
endif()
if(WINDOWS)
  set(expected zelpin.exe zelpin.txt README.md LICENSE)
else()
  set(expected bin/zelpin share/man/man1/zelpin.1 share/doc/zelpin/LICENSE share/doc/zelpin/README.md)
endif()
foreach(file IN LISTS expected)
  if(NOT EXISTS ${scratch}/prefix/${file})
    message(FATAL_ERROR "install: ${file} is missing")
  endif()
endforeach()
if(NOT WINDOWS)
  find_program(MAN man)
  if(MAN)
    execute_process(COMMAND ${MAN} -l ${scratch}/prefix/share/man/man1/zelpin.1
                    RESULT_VARIABLE failed OUTPUT_VARIABLE page ERROR_VARIABLE warnings)
    if(failed OR NOT page MATCHES "zelpin - keep folder bookmarks")
      message(FATAL_ERROR "man -l of the installed page failed: ${warnings}")
    endif()
  endif()
endif()

execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target release
                RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(failed OR NOT EXISTS ${ARCHIVE})
  message(FATAL_ERROR "packing the release failed: ${output}")
endif()
set(archives ${ARCHIVE})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${archives} OUTPUT_VARIABLE listing
                RESULT_VARIABLE failed)
message(STATUS "${archives}:\n${listing}")
foreach(file IN LISTS expected)
  string(REPLACE "." "\\." pattern "${file}")
  if(NOT listing MATCHES "/${pattern}\n")
    message(FATAL_ERROR "archive: ${file} is missing")
  endif()
endforeach()
file(REMOVE_RECURSE ${scratch})
