# SPDX-License-Identifier: MIT
# Debian packages install under /usr, and the program and its metadata carry absolute paths fixed
# at configure time: refuse to package a build configured for another prefix.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_PACKAGING_INSTALL_PREFIX STREQUAL "/usr")
    message(FATAL_ERROR
        "This build installs under ${CPACK_PACKAGING_INSTALL_PREFIX}, but a Debian package must "
        "install under /usr: configure it with -DCMAKE_INSTALL_PREFIX=/usr "
        "(cmake --preset package)")
endif()
