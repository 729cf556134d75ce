# The Debian package: `scripts/package` (or `cpack` in a build folder) makes penshelf_VERSION_ARCH.deb.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME penshelf)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "PenShelf developers <penshelf@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "manage the book packages on a point-reading pen")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the binary links decide Depends (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# udisks2 ejects and mounts pens; every text is Chinese, so a CJK font and Qt's Chinese texts;
# Qt's Wayland platform plugin, so that a Wayland session runs the program natively rather than
# through Xwayland; Qt's SVG support for the scalable window icon.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "udisks2, fonts-noto-cjk | fonts-wqy-microhei | fonts-wqy-zenhei, qt6-translations-l10n, qt6-wayland, libqt6svg6")
# CPack puts the summary above this as the synopsis line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "PenShelf (点读笔管理) recognises point-reading pens plugged in by USB, lists
the read-along and story packages installed on a pen with their titles and
sticker numbers, installs dab and dsb package files with the right sticker
numbers written into them, renumbers and removes packages, and ejects the pen.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

include(CPack)
