# Fails when the shared library LIBRARY exports a symbol of Armadillo or of the
# library's internal namespace: with hidden visibility only the API marked
# ZOR_FEEDBACK_API leaves it.
#   cmake -DLIBRARY=<path> -P check_exports.cmake
execute_process(COMMAND nm -DC --defined-only ${LIBRARY} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]* [A-Za-z] (arma::|[^\n]*zor_feedback::detail::)[^\n]*" leaked "${symbols}")
if(leaked)
  list(LENGTH leaked n)
  list(GET leaked 0 first)
  message(FATAL_ERROR "${n} internal symbols exported, e.g.\n${first}")
endif()
string(FIND "${symbols}" "QTEV_ResponseMatrix::invert_report" api)
if(api EQUAL -1)
  message(FATAL_ERROR "the API itself is not exported by ${LIBRARY}")
endif()
