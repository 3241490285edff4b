# Installation: the library, the host layer, the public headers, a CMake
# package and a pkg-config file.
include(CMakePackageConfigHelpers)

install(TARGETS zor_feedback ovrix_host EXPORT zor_feedbackTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES zor_feedback/zor_feedback.h zor_feedback/chicane_physics.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zor_feedback)
install(FILES ovrix/ovrix_server.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ovrix)

set(ZOR_FEEDBACK_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/zor_feedback)
install(EXPORT zor_feedbackTargets NAMESPACE zor_feedback:: DESTINATION ${ZOR_FEEDBACK_CMAKEDIR})
configure_package_config_file(cmake/zor_feedback-config.cmake.in
  ${PROJECT_BINARY_DIR}/zor_feedback-config.cmake INSTALL_DESTINATION ${ZOR_FEEDBACK_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zor_feedback-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/zor_feedback-config.cmake
  ${PROJECT_BINARY_DIR}/zor_feedback-config-version.cmake
  cmake/ZorFeedbackDependencies.cmake
  DESTINATION ${ZOR_FEEDBACK_CMAKEDIR})

configure_file(cmake/zor_feedback.pc.in ${PROJECT_BINARY_DIR}/zor_feedback.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zor_feedback.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
