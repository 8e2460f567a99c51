# Builds the program and its release archive a second time, from a copy of the sources in another
# folder into a build folder of its own, and checks that both come out byte for byte as from the
# build under test.
# Run with: cmake -DSOURCE_DIR=... -DBUILD_DIR=... -DBUILD_TYPE=... [-DTOOLCHAIN=...]
#                 -DPROGRAM=zelpin|zelpin.exe -DARCHIVE=name.tar.gz|name.zip
#                 -P check_reproducible.cmake
cmake_minimum_required(VERSION 3.25)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed OUTPUT_VARIABLE output
                  ERROR_VARIABLE output)
  if(failed)
    message(FATAL_ERROR "${ARGN} failed:\n${output}")
  endif()
endfunction()

string(RANDOM LENGTH 8 suffix)
set(other /tmp/zelpin-rebuilt-${suffix})
file(MAKE_DIRECTORY ${other})
# As the README says to: a clone, whose history dates the archive, and no variable set for it.
file(COPY ${SOURCE_DIR}/ DESTINATION ${other}/sources PATTERN build EXCLUDE)

set(toolchain)
if(TOOLCHAIN)
  get_filename_component(toolchainName ${TOOLCHAIN} NAME)
  set(toolchain -DCMAKE_TOOLCHAIN_FILE=${other}/sources/cmake/${toolchainName})
endif()
run(${CMAKE_COMMAND} --build ${BUILD_DIR} --target release)
run(${CMAKE_COMMAND} -S ${other}/sources -B ${other}/build -DCMAKE_BUILD_TYPE=${BUILD_TYPE}
    ${toolchain} -DZELPIN_BUILD_TESTS=OFF -DZELPIN_WERROR=ON)
run(${CMAKE_COMMAND} --build ${other}/build --target release --parallel 2)

set(differ)
foreach(file ${PROGRAM} ${ARCHIVE})
  file(SHA256 ${BUILD_DIR}/${file} first)
  file(SHA256 ${other}/build/${file} second)
  message(STATUS "${file}: ${first} and ${second}")
  if(NOT first STREQUAL second)
    list(APPEND differ ${file})
  endif()
endforeach()
# The program in the zip is the program of the build, so that its sum can be checked alone.
if(ARCHIVE MATCHES "[.]zip$")
  file(ARCHIVE_EXTRACT INPUT ${BUILD_DIR}/${ARCHIVE} DESTINATION ${other}/unpacked)
  file(GLOB_RECURSE packed ${other}/unpacked/*/${PROGRAM})
  file(SHA256 ${BUILD_DIR}/${PROGRAM} built)
  file(SHA256 "${packed}" inZip)
  message(STATUS "${PROGRAM} in the zip: ${inZip}")
  if(NOT built STREQUAL inZip)
    list(APPEND differ "${PROGRAM} in the zip")
  endif()
endif()
file(REMOVE_RECURSE ${other})
if(differ)
  message(FATAL_ERROR "not the same bytes from both builds: ${differ}")
endif()
