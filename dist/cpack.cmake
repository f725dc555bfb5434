# The Debian package, made by "cpack -G DEB" in the build directory. Included at the end of the
# top-level CMakeLists.txt, where CPack reads its settings.
# The package installs under /usr whatever prefix the build was configured with; the one file
# that names the prefix, the systemd unit, is moved and fixed by cpack-unit.cmake.
include(GNUInstallDirs)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME linkkeeper)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "linkKeeper maintainers")
set(CPACK_PACKAGE_CONTACT
    "linkKeeper maintainers <maintainers@users.noreply.c-seed-c2e07064.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "network-configuration service driving NetworkManager")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "linkKeeper answers the device's services over the platform's trel message\n\
bus and a local control socket: it lists network interfaces and their state,\n\
writes connection profiles (IPv4, IPv6, Wi-Fi) with checkpoints that undo a\n\
wrong change, switches interfaces and the Wi-Fi radio, lists access points,\n\
watches interfaces and runs ping probes, all through NetworkManager. lkctl is\n\
its command-line tool.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Libraries from dpkg-shlibdeps; the daemon it drives by hand.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "network-manager")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
configure_file(${CMAKE_CURRENT_LIST_DIR}/cpack-unit.cmake.in ${CMAKE_BINARY_DIR}/cpack-unit.cmake
               @ONLY)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_BINARY_DIR}/cpack-unit.cmake)
include(CPack)
