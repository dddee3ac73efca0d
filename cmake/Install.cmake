# Installation: headers, libraries, the bringup tool, and a CMake package so
# that `find_package(tarvex-morvane)` works for programs built elsewhere.
# The libraries are those declared with morvane_library(), morvane_backend()
# and morvane_cleaner(); headers beside the sources are internal and stay.
include(CMakePackageConfigHelpers)

get_property(morvane_libraries GLOBAL PROPERTY MORVANE_INSTALL_TARGETS)
get_property(morvane_include_dirs GLOBAL PROPERTY MORVANE_PUBLIC_INCLUDE_DIRS)
install(TARGETS ${morvane_libraries} EXPORT tarvex-morvane-targets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS bringup morvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
foreach(dir IN ITEMS ${PROJECT_SOURCE_DIR}/include ${morvane_include_dirs})
  install(DIRECTORY ${dir}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endforeach()

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
