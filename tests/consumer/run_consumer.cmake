# Installs the build into a scratch prefix and builds small consumers against
# it, as a site would. Run with cmake -P, MODE being:
#   install    cmake --install BUILD_DIR --prefix PREFIX (a fresh prefix)
#   cmake      configure, build and run this directory's project with find_package
#   pkgconfig  compile main.cc with `pkg-config --cflags --libs zor_feedback`, run it
# Other variables: PREFIX, WORK_DIR, SOURCE_DIR, CXX, CXX_FLAGS (a list),
# LIBDIR, DATADIR, PKG_CONFIG, EXPECT_CBLAS (part of the name of the library
# that must provide GSL's CBLAS calls in a consumer).
cmake_minimum_required(VERSION 3.25)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  message("${out}${err}")
  if(NOT rc EQUAL 0)
    list(JOIN ARGN " " cmd)
    message(FATAL_ERROR "failed (${rc}): ${cmd}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

set(data "${PREFIX}/${DATADIR}/zor_feedback")

# A consumer's output names the library behind cblas_dgemm.
function(check_cblas output)
  if(EXPECT_CBLAS AND NOT output MATCHES "cblas_dgemm from [^\n]*${EXPECT_CBLAS}")
    message(FATAL_ERROR "GSL's CBLAS calls do not reach ${EXPECT_CBLAS} in the consumer")
  endif()
endfunction()

if(MODE STREQUAL "install")
  file(REMOVE_RECURSE "${PREFIX}")
  run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${PREFIX}")
  foreach(f "${LIBDIR}/cmake/zor_feedback/zor_feedback-config.cmake" "${LIBDIR}/pkgconfig/zor_feedback.pc"
            "${LIBDIR}/pkgconfig/ovrix_host.pc" "include/zor_feedback/zor_feedback.h" "include/ovrix/ovrix_server.h"
            "${DATADIR}/zor_feedback/ring_response.txt")
    if(NOT EXISTS "${PREFIX}/${f}")
      message(FATAL_ERROR "not installed: ${f}")
    endif()
  endforeach()
  # The private headers stay in the source tree.
  if(EXISTS "${PREFIX}/include/zor_feedback/detail.h" OR EXISTS "${PREFIX}/include/zor_feedback/value_scanner.h")
    message(FATAL_ERROR "a private header was installed")
  endif()

elseif(MODE STREQUAL "cmake")
  set(build "${WORK_DIR}/cmake")
  file(REMOVE_RECURSE "${build}")
  string(REPLACE ";" " " flags "${CXX_FLAGS}")
  run(${CMAKE_COMMAND} -S "${SOURCE_DIR}" -B "${build}" -DCMAKE_BUILD_TYPE=Release
      "-DCMAKE_CXX_COMPILER=${CXX}" "-DCMAKE_CXX_FLAGS=${flags}" "-DCMAKE_EXE_LINKER_FLAGS=${flags}"
      "-DCMAKE_PREFIX_PATH=${PREFIX}" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF)
  # The package must come from the scratch prefix, not from elsewhere.
  string(FIND "${run_output}" "from ${PREFIX}/" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "find_package(zor_feedback) did not find the copy in ${PREFIX}")
  endif()
  run(${CMAKE_COMMAND} --build "${build}")
  run("${build}/consumer" "${data}")
  check_cblas("${run_output}")

elseif(MODE STREQUAL "pkgconfig")
  set(ENV{PKG_CONFIG_PATH} "${PREFIX}/${LIBDIR}/pkgconfig")
  run(${PKG_CONFIG} --cflags --libs zor_feedback)
  string(STRIP "${run_output}" pc_flags)
  separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
  file(MAKE_DIRECTORY "${WORK_DIR}")
  run("${CXX}" -std=c++17 ${CXX_FLAGS} "${SOURCE_DIR}/main.cc" -o "${WORK_DIR}/pc_consumer" ${pc_flags}
      "-Wl,-rpath,${PREFIX}/${LIBDIR}")
  run("${WORK_DIR}/pc_consumer" "${data}")
  check_cblas("${run_output}")

else()
  message(FATAL_ERROR "unknown MODE '${MODE}'")
endif()
