# Installation: headers, libraries, the bringup tool, and a CMake package so
# that `find_package(tarvex-morvane)` works for programs built elsewhere.
include(CMakePackageConfigHelpers)

set(MORVANE_LIBRARIES tarvex_services tarvex_morvane_bases tarvex_morvane_orvanta tarvex_morvane_sim
                      tarvex_morvane_sim_cleaner)
install(TARGETS ${MORVANE_LIBRARIES} EXPORT tarvex-morvane-targets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS bringup RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(MORVANE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tarvex-morvane)
install(EXPORT tarvex-morvane-targets NAMESPACE tarvex:: DESTINATION ${MORVANE_CMAKE_DIR})
configure_package_config_file(cmake/tarvex-morvaneConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/tarvex-morvaneConfig.cmake
                              INSTALL_DESTINATION ${MORVANE_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tarvex-morvaneConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tarvex-morvaneConfig.cmake
              ${PROJECT_BINARY_DIR}/tarvex-morvaneConfigVersion.cmake
        DESTINATION ${MORVANE_CMAKE_DIR})
