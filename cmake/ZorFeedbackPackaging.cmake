# Installation: the library, the host layer, the public headers, a CMake
# package, pkg-config files and the example data.
#
# The host layer (the stand-in for the OVRIX framework's server library) is a
# target, an export file and a pkg-config module of its own, so that a site
# can put its real framework in its place (see zor_feedback-config.cmake.in).
include(CMakePackageConfigHelpers)

# Installed libraries find each other in their own directory, wherever the
# prefix is moved.
set_target_properties(zor_feedback PROPERTIES INSTALL_RPATH "$ORIGIN")
if(NOT ZOR_FEEDBACK_HOST_LIBRARY)
  set_target_properties(ovrix_host PROPERTIES INSTALL_RPATH "$ORIGIN")
endif()

install(TARGETS zor_feedback EXPORT zor_feedbackTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS ovrix_host EXPORT zor_feedbackHostTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY zor_feedback/include/zor_feedback
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(NOT ZOR_FEEDBACK_HOST_LIBRARY)  # a real framework installs its own headers
  install(FILES ovrix/ovrix_server.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ovrix)
endif()

# CMake package: find_package(zor_feedback CONFIG) gives zor_feedback::zor_feedback.
set(ZOR_FEEDBACK_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/zor_feedback)
install(EXPORT zor_feedbackTargets NAMESPACE zor_feedback::
  FILE zor_feedback-targets.cmake DESTINATION ${ZOR_FEEDBACK_CMAKEDIR})
install(EXPORT zor_feedbackHostTargets NAMESPACE zor_feedback::
  FILE zor_feedback-host-targets.cmake DESTINATION ${ZOR_FEEDBACK_CMAKEDIR})
configure_package_config_file(cmake/zor_feedback-config.cmake.in
  ${PROJECT_BINARY_DIR}/zor_feedback-config.cmake INSTALL_DESTINATION ${ZOR_FEEDBACK_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zor_feedback-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/zor_feedback-config.cmake
  ${PROJECT_BINARY_DIR}/zor_feedback-config-version.cmake
  cmake/ZorFeedbackDependencies.cmake
  DESTINATION ${ZOR_FEEDBACK_CMAKEDIR})

# pkg-config: zor_feedback.pc requires ovrix_host.pc. Both are relocatable:
# their prefix is found from their own place (${pcfiledir}), so a copy
# installed with `cmake --install --prefix` elsewhere works as well.
set(ZOR_FEEDBACK_PCDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${ZOR_FEEDBACK_PCDIR}")
  set(ZOR_FEEDBACK_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH _zf_up "${CMAKE_INSTALL_PREFIX}/${ZOR_FEEDBACK_PCDIR}" "${CMAKE_INSTALL_PREFIX}")
  string(REGEX REPLACE "/$" "" _zf_up "${_zf_up}")
  set(ZOR_FEEDBACK_PC_PREFIX "\${pcfiledir}/${_zf_up}")
endif()
foreach(_zf_dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${_zf_dir}}")
    set(ZOR_FEEDBACK_PC_${_zf_dir} "${CMAKE_INSTALL_${_zf_dir}}")
  else()
    set(ZOR_FEEDBACK_PC_${_zf_dir} "\${prefix}/${CMAKE_INSTALL_${_zf_dir}}")
  endif()
endforeach()
# The optimized CBLAS goes ahead of GSL's (which gsl.pc names), as in the
# library's own link, so that GSL's products bind to it.
if(ZOR_FEEDBACK_OPENBLAS_LIBRARY)
  set(ZOR_FEEDBACK_PC_CBLAS "-lopenblas")
else()
  set(ZOR_FEEDBACK_PC_CBLAS "")
endif()
configure_file(cmake/zor_feedback.pc.in ${PROJECT_BINARY_DIR}/zor_feedback.pc @ONLY)
configure_file(cmake/ovrix_host.pc.in ${PROJECT_BINARY_DIR}/ovrix_host.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zor_feedback.pc DESTINATION ${ZOR_FEEDBACK_PCDIR})
if(NOT ZOR_FEEDBACK_HOST_LIBRARY)  # a real framework brings its own module
  install(FILES ${PROJECT_BINARY_DIR}/ovrix_host.pc DESTINATION ${ZOR_FEEDBACK_PCDIR})
endif()

# The example response matrices, for zorfb's demo and the examples.
install(FILES examples/data/ring_response.txt examples/data/ring320_response.txt examples/data/transfer_line_response.txt
  DESTINATION ${CMAKE_INSTALL_DATADIR}/zor_feedback COMPONENT lib)
