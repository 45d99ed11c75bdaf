# The Debian package (scripts/package.sh): the window, the command line and the package writer,
# the desktop entry and icon, with what they need declared so that `apt install ./…deb` on a
# fresh machine pulls it in.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mardo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Mardo")
set(CPACK_PACKAGE_CONTACT "Mardo maintainers <mardo@example.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Finds the IP cameras on every network segment, re-addresses and upgrades them in batches")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Not linked, so not found by the library scan: libpcap is opened at run time, setcap grants
# the capture rights after installation, and the font shows the Chinese texts.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libpcap0.8, libcap2-bin, fonts-noto-cjk")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/res/debian/postinst;${PROJECT_SOURCE_DIR}/res/debian/prerm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Built as the tests build it (-O2 -g); the package carries the programs without the symbols.
set(CPACK_STRIP_FILES ON)
include(CPack)
