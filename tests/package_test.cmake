# Installs the built project into a scratch prefix, then builds and runs a program that
# finds it with find_package(parse_bin).
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... [-DCONSUMER_FLAGS=...] -P package_test.cmake
file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}"
                RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "install failed")
endif()
foreach(installed bin/parse_bin include/parse_bin.h share/man/man1/parse_bin.1)
  if(NOT EXISTS "${prefix}/${installed}")
    message(FATAL_ERROR "not installed: ${installed}")
  endif()
endforeach()
file(GLOB_RECURSE stray "${prefix}/bin/*driver*")
if(stray)
  message(FATAL_ERROR "test drivers installed: ${stray}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -S "${SOURCE_DIR}/tests/consumer" -B "${WORK_DIR}/build"
                        -DCMAKE_PREFIX_PATH=${prefix} "-DCMAKE_CXX_FLAGS=${CONSUMER_FLAGS}"
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "consumer configure failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build "${WORK_DIR}/build" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "consumer build failed")
endif()
file(MAKE_DIRECTORY "${WORK_DIR}/data")
execute_process(COMMAND "${WORK_DIR}/build/consumer" "${WORK_DIR}/data"
                OUTPUT_VARIABLE out RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT out MATCHES "^Header File Size:0x0006\r?\nconsumer ok\n$")
  message(FATAL_ERROR "consumer run failed (${status}): ${out}")
endif()
message(STATUS "find_package(parse_bin) consumer: ${out}")
