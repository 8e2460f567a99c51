# Packs an install of the build into BUILD_DIR/NAME.FORMAT (tar.gz or zip) so that its bytes depend
# on the sources alone: every entry is dated at the last commit (or $SOURCE_DATE_EPOCH), has no
# owner, the same modes whoever builds it, and the entries are in name order.
# Run with: cmake -DSOURCE_DIR=... -DBUILD_DIR=... -DNAME=... -DFORMAT=tar.gz|zip [-DSTRIP=ON]
#                 -P release_archive.cmake
# STRIP: strip the installed program. The Windows program is linked stripped, and strip would write
# a time and a checksum into its header, so that the program in the zip would be another.
cmake_minimum_required(VERSION 3.25)

if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch $ENV{SOURCE_DATE_EPOCH})
else()
  execute_process(COMMAND git -C ${SOURCE_DIR} log -1 --format=%ct OUTPUT_VARIABLE epoch
                  OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_QUIET)
  if(failed OR NOT epoch MATCHES "^[0-9]+$")
    set(epoch 315532800)  # 1980-01-01, the earliest time a zip entry can hold
  endif()
endif()

set(stage ${BUILD_DIR}/release-stage)
set(archive ${BUILD_DIR}/${NAME}.${FORMAT})
file(REMOVE_RECURSE ${stage})
file(REMOVE ${archive})
set(strip)
if(STRIP)
  set(strip --strip)
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${stage}/${NAME} ${strip}
                RESULT_VARIABLE failed OUTPUT_QUIET)
if(failed)
  message(FATAL_ERROR "cmake --install failed")
endif()

# zip keeps the modes and the times of the files themselves.
execute_process(COMMAND chmod -R u+rwX,go+rX,go-w ${stage} RESULT_VARIABLE failed)
execute_process(COMMAND find ${stage} -exec touch -h -d @${epoch} {} + RESULTS_VARIABLE results)
list(APPEND results ${failed})

if(FORMAT STREQUAL "tar.gz")
  execute_process(COMMAND tar --sort=name --owner=0 --group=0 --numeric-owner --mtime=@${epoch}
                          --format=gnu -C ${stage} -cf - ${NAME}
                  COMMAND gzip -9n
                  OUTPUT_FILE ${archive} RESULTS_VARIABLE packed)
else()
  # -X leaves out owners and Unix times; TZ fixes the local time a zip entry is dated in.
  execute_process(COMMAND find ${NAME} -type f
                  COMMAND env LC_ALL=C sort
                  COMMAND env TZ=UTC zip -X -q -9 -@ ${archive}
                  WORKING_DIRECTORY ${stage} RESULTS_VARIABLE packed)
endif()
list(APPEND results ${packed})
foreach(result IN LISTS results)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "packing ${archive} failed: ${results}")
  endif()
endforeach()
file(REMOVE_RECURSE ${stage})
message(STATUS "${archive}")
