# cmake --install puts the library, the public headers, a CMake package and a pkg-config file in place.
include(CMakePackageConfigHelpers)

install(TARGETS mvsdk EXPORT mvsdkTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/mvsdk DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")
install(FILES ${PROJECT_BINARY_DIR}/include/mvsdk/version.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/mvsdk)
install(EXPORT mvsdkTargets NAMESPACE mvsdk:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/mvsdk)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/mvsdkConfig.cmake.in
  ${PROJECT_BINARY_DIR}/mvsdkConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/mvsdk)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/mvsdkConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/mvsdkConfig.cmake ${PROJECT_BINARY_DIR}/mvsdkConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/mvsdk)

configure_file(${PROJECT_SOURCE_DIR}/cmake/mvsdk.pc.in ${PROJECT_BINARY_DIR}/mvsdk.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/mvsdk.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
