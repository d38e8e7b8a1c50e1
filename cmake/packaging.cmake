# Installing varn-odbc as a system service: the settings file, the systemd
# unit, the manual page, and the Debian package that carries them (cpack -G DEB).
#
# The files under packaging/ are written for a /usr prefix and version 1.0.0
# and are usable as they stand; the build writes this build's paths and
# version into the copies it installs.

set(VARN_SYSTEMD_UNIT_DIR "lib/systemd/system"
    CACHE STRING "Where the systemd unit goes, relative to the install prefix")
set(VARN_PACKAGE_MAINTAINER "varn-odbc maintainers <root@localhost>"
    CACHE STRING "Maintainer field of the Debian package")

set(VARN_PACKAGING_DIR "${CMAKE_CURRENT_SOURCE_DIR}/packaging")
set(VARN_STAGED_DIR "${CMAKE_CURRENT_BINARY_DIR}/packaging")
if(IS_ABSOLUTE "${VARN_SYSTEMD_UNIT_DIR}")
  set(VARN_FULL_SYSTEMD_UNIT_DIR "${VARN_SYSTEMD_UNIT_DIR}")
else()
  set(VARN_FULL_SYSTEMD_UNIT_DIR "${CMAKE_INSTALL_PREFIX}/${VARN_SYSTEMD_UNIT_DIR}")
endif()
get_filename_component(VARN_SETTINGS_DIR "${VARN_SETTINGS_FILE}" DIRECTORY)
get_filename_component(VARN_SETTINGS_NAME "${VARN_SETTINGS_FILE}" NAME)

# Copies packaging/<name> into the build tree with this build's paths and
# version in it.
# The copy is rewritten only when its text changes, so nothing downstream
# rebuilds for nothing.
function(VarnStagePackagingFile name)
  set(source "${VARN_PACKAGING_DIR}/${name}")
  file(READ "${source}" text)
  string(REPLACE "/usr/sbin/varn-odbc" "${CMAKE_INSTALL_FULL_SBINDIR}/varn-odbc" text "${text}")
  string(REPLACE "/etc/varn-odbc/settings.reg" "${VARN_SETTINGS_FILE}" text "${text}")
  string(REPLACE "/usr/lib/systemd/system/" "${VARN_FULL_SYSTEMD_UNIT_DIR}/" text "${text}")
  string(REPLACE "\"varn-odbc 1.0.0\"" "\"varn-odbc ${PROJECT_VERSION}\"" text "${text}")
  file(GENERATE OUTPUT "${VARN_STAGED_DIR}/${name}" CONTENT "${text}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${source}")
endfunction()

foreach(name varn-odbc.service varn-odbc.8 postinst prerm postrm)
  VarnStagePackagingFile(${name})
endforeach()
file(GENERATE OUTPUT "${VARN_STAGED_DIR}/conffiles" CONTENT "${VARN_SETTINGS_FILE}\n")

# Debian ships manual pages compressed; -n keeps the archive free of time
# stamps so that rebuilding gives the same package.
add_custom_command(
  OUTPUT "${VARN_STAGED_DIR}/varn-odbc.8.gz"
  COMMAND gzip -9nc "${VARN_STAGED_DIR}/varn-odbc.8" > "${VARN_STAGED_DIR}/varn-odbc.8.gz"
  DEPENDS "${VARN_STAGED_DIR}/varn-odbc.8"
  COMMENT "Compressing the manual page")
add_custom_target(varn-odbc-manpage ALL DEPENDS "${VARN_STAGED_DIR}/varn-odbc.8.gz")

install(FILES "${VARN_STAGED_DIR}/varn-odbc.service" DESTINATION "${VARN_SYSTEMD_UNIT_DIR}")
install(FILES "${VARN_STAGED_DIR}/varn-odbc.8.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man8")
# The README links to docs/<name>.md, so the notes keep that folder beside it.
install(FILES README.md DESTINATION "${CMAKE_INSTALL_DOCDIR}")
install(FILES
  docs/linux-service.md
  docs/operating.md
  docs/statement-syntax.md
  docs/testing.md
  docs/windows.md
  DESTINATION "${CMAKE_INSTALL_DOCDIR}/docs")

# The settings file goes to the path the binary reads, which for a /usr
# prefix lies outside the prefix (/etc). It holds the operator's edits and
# the database password, so an install over an existing one leaves it be,
# and it is never world-readable, not even for the moment between unpacking
# and the package's postinst handing it to the service's group.
install(CODE "
  set(target \"\$ENV{DESTDIR}${VARN_SETTINGS_FILE}\")
  if(EXISTS \"\${target}\")
    message(STATUS \"Keeping: \${target}\")
  else()
    file(INSTALL \"${VARN_PACKAGING_DIR}/settings.reg\"
         DESTINATION \"${VARN_SETTINGS_DIR}\"
         RENAME \"${VARN_SETTINGS_NAME}\"
         FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
  endif()")

if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  message(STATUS "Install prefix ${CMAKE_INSTALL_PREFIX}: a Debian package wants -DCMAKE_INSTALL_PREFIX=/usr")
endif()

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "varn-odbc")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${VARN_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SQL text over TCP into an ODBC data source")
# Staging installs under the build's own prefix, so the paths compiled into
# the binary and those in the package agree.
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_STRIP_FILES TRUE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION "database")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# The summary above becomes the first line of the description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"A small query service for devices and old programs that can open a TCP
connection but speak no database protocol. It listens on one TCP port,
admits clients by IPv4 address and mask, and runs every semicolon-ended
statement it reads on an ODBC data source, each in a connection of its own.
It answers clients nothing and writes every event to the system journal.")
# dpkg-shlibdeps adds libodbc2 (the unixODBC driver manager) and the C and
# C++ runtimes from what the binary links; odbcinst brings the system's
# /etc/odbc.ini and the tool that registers data sources in it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, odbcinst")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libsqliteodbc, unixodbc")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "odbc-postgresql, odbc-mariadb")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  "${VARN_STAGED_DIR}/conffiles"
  "${VARN_STAGED_DIR}/postinst"
  "${VARN_STAGED_DIR}/prerm"
  "${VARN_STAGED_DIR}/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

include(CPack)
