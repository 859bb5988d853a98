# The Debian package, built with `cpack -G DEB` in the build tree: programs, library, headers,
# CMake and pkg-config files, udev rule (a conffile), man pages and completion in one package.
set(CPACK_PACKAGE_NAME corvane)
set(CPACK_PACKAGE_VENDOR "Corvane")
set(CPACK_PACKAGE_CONTACT "Corvane maintainers <maintainers@corvane.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware update tool and link library for Corvane modules")
set(CPACK_PACKAGE_DESCRIPTION
    "Updater finds Corvane modules on USB, TCP/IP and serial lines, fetches their firmware from an update server and installs it. libcorvane is the module link library beneath it, with a C API and a C++ object layer. The package also holds the virtual module, the update server, the boot-ROM simulator and birdtool.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
# Absolute destinations (the udev rule under /etc) land in the package, not on the build machine.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "bash-completion, udev")

configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/conffiles.in
               ${CMAKE_CURRENT_BINARY_DIR}/debian/conffiles @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_BINARY_DIR}/debian/conffiles
    ${CMAKE_CURRENT_LIST_DIR}/debian/postinst
    ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# The Python package is a Debian package of its own, python3-corvane: kept out of this one, and
# packed by the second configuration (packaging/debian/CPackPython3Config.cmake.in).
if(TARGET corvane_python)
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian/WithoutPython.cmake)
  math(EXPR CORVANE_PYTHON_NEXT_MINOR "${CORVANE_PYTHON_VERSION_MINOR} + 1")
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/CPackPython3Config.cmake.in
                 ${PROJECT_BINARY_DIR}/CPackPython3Config.cmake @ONLY)
endif()

include(CPack)
