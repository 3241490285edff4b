# Fails when a file includes across the layers the wrong way:
#  * nothing outside tools/ includes the tool's headers (zorfb/...);
#  * nothing outside the library includes its private headers (zor_feedback/src),
#    except the tests and fuzz targets of the scanner and the file readers,
#    and the tests of the product's kernel versions, its threads and the rank-one
#    downdates and the inverse cache's downdate, which opt in;
#  * the library includes nothing of sim/, the tool, TANGO or the tests;
#  * loop/ includes only the library: nothing of sim/, the tool, TANGO or the tests;
#  * server/ (the served feedback) includes nothing of TANGO, its adapters or the tool.
# Run as: cmake -DSOURCE_DIR=<project> -P check_layers.cmake
cmake_minimum_required(VERSION 3.25)
file(GLOB private_headers RELATIVE ${SOURCE_DIR}/zor_feedback/src ${SOURCE_DIR}/zor_feedback/src/*.h)
file(GLOB_RECURSE sources RELATIVE ${SOURCE_DIR}
  ${SOURCE_DIR}/*.cc ${SOURCE_DIR}/*.h)
set(bad "")
foreach(f IN LISTS sources)
  if(f MATCHES "^build")
    continue()
  endif()
  if(f MATCHES "^(zor_feedback|loop|sim|server)/")
    file(STRINGS ${SOURCE_DIR}/${f} tango_includes REGEX "^#include <tango")
    if(tango_includes)
      list(APPEND bad "${f}: TANGO's headers below the adapters")
    endif()
  endif()
  file(STRINGS ${SOURCE_DIR}/${f} includes REGEX "^#include \"")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" inc "${line}")
    if(inc MATCHES "^zorfb/" AND NOT f MATCHES "^tools/")
      list(APPEND bad "${f}: ${inc} (the tool's header outside tools/)")
    endif()
    if(f MATCHES "^loop/" AND inc MATCHES "^(zorfb/|feedback_simulation|ring_model|example_data|testing|numerics|property_attributes|feedback_loop|loop_core|tango)")
      list(APPEND bad "${f}: ${inc} (the loop includes a caller or the simulation)")
    endif()
    if(f MATCHES "^server/" AND inc MATCHES "^(zorfb/|property_attributes|device_io|memorized|member_attribute|signal_relay|sim_ring)")
      list(APPEND bad "${f}: ${inc} (the served feedback includes a TANGO adapter or the tool)")
    endif()
    if(f MATCHES "^zor_feedback/")
      if(inc MATCHES "^(zorfb/|feedback_simulation|ring_model|example_data|testing|numerics|property_attributes)")
        list(APPEND bad "${f}: ${inc} (the library includes a caller)")
      endif()
    elseif(inc IN_LIST private_headers AND NOT f MATCHES "((test|fuzz)_value_scanner|test_matrix_files|test_products|test_product_threads|test_pinv_downdate|test_correction_downdate|fuzz_(labelled_text|npy|mtx|gzip))\\.cc$")
      list(APPEND bad "${f}: ${inc} (a private header of the library)")
    endif()
  endforeach()
endforeach()
if(bad)
  list(JOIN bad "\n  " text)
  message(FATAL_ERROR "includes across the layers:\n  ${text}")
endif()
message(STATUS "the layers include one another as they should")
