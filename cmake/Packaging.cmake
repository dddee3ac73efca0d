# The Debian package: `cpack -G DEB` in the build directory makes
# tarvex-morvane_<version>_<arch>.deb with the bringup tool, the libraries,
# the headers and CMake package, and the Python module with its pytest
# plugin, installed under /usr.  Its dependencies are declared: the shared
# libraries' through dpkg-shlibdeps, and the interpreter the Python module
# was built for.  The files are stripped (the build keeps its debug
# information).
set(CPACK_PACKAGE_NAME tarvex-morvane)
set(CPACK_PACKAGE_VENDOR tarvex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Bring network test topologies up from C++, Python, pytest and the command line")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "morvane brings the topology a logical testbed describes up through an orchestrator backend (sim: simulated "
    "devices; netns: network namespaces, veth links and bridges), binds your device and interface names to what "
    "was built, waits until the devices are ready, and always tears everything down again.  It provides the "
    "bringup command, the C++ libraries with their headers and CMake package, and the Python module "
    "tarvex.morvane with a pytest plugin.")
set(CPACK_PACKAGE_CONTACT "morvane developers <morvane@tarvex.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES TRUE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The package's own libraries are found where it installs them (through
# the binaries' $ORIGIN run path), not asked of other packages.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
if(MORVANE_BUILD_PYTHON)
  # The extension module is built for one interpreter version.
  string(REPLACE "." ";" py_version "${MORVANE_PYTHON_VERSION}")
  list(GET py_version 0 py_major)
  list(GET py_version 1 py_minor)
  math(EXPR py_next "${py_minor} + 1")
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3 (>= ${py_major}.${py_minor}), python3 (<< ${py_major}.${py_next})")
  # Removing the package also removes the byte code python3 wrote beside it.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/prerm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
endif()
# The plugin needs pytest; tests of netns topologies enter namespaces and
# ping (the backend itself needs neither); programs built against the
# headers need a compiler and the header-only Asio and fmt headers.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3-pytest, iproute2, iputils-ping")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "g++, cmake, libasio-dev, libfmt-dev")

include(CPack)
