include(CMakePackageConfigHelpers)

install(TARGETS scanlink EXPORT scanlinkTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY include/scanlink DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT scanlinkTargets NAMESPACE scanlink:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/scanlink)

configure_package_config_file(cmake/scanlinkConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/scanlinkConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/scanlink)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/scanlinkConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/scanlinkConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/scanlinkConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/scanlink)

configure_file(cmake/scanlink.pc.in ${CMAKE_CURRENT_BINARY_DIR}/scanlink.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/scanlink.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
