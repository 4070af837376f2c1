# The Debian packages, one per install component (cmake/install.cmake): scripts/package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavro)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tavro developers <tavro@example.org>")
set(CPACK_PACKAGE_VENDOR "Tavro")
# Each package's description starts with its own synopsis line.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR}/debs)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools ostrel daemon)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SOURCE tavro)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libtavro.so.1 comes from libtavro1 (a package dependency below), not from the system.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.example.org/tavro/")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libtavro1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The loader cache is refreshed through the ldconfig trigger.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "driver library for the USB telephone-line box
Tavro drives a USB telephone-line box: it reports ringing, caller numbers,
DTMF digits and call-progress tones, takes the line off hook, dials, and
records and plays the line's audio (8000 Hz A-law).
.
This package holds the shared library.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtavro-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
# libtavro-vbox.a links spandsp: applications that link the test double need its -dev package.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libspandsp-dev")
set(CPACK_DEBIAN_DEV_DESCRIPTION "driver library for the USB telephone-line box (development files)
Tavro drives a USB telephone-line box from C++ (class CKusb_IO).
.
This package holds the headers, the CMake package (find_package(Tavro),
target Tavro::tavro), the pkg-config file and the virtual box library,
a test double for an application's own tests.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tavro-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "command-line tool and virtual box for the telephone-line box
tavro drives the USB telephone-line box from a terminal or a script:
status, events, pick up, dial, record and play. tavro-box is the box in
software, with a scripted line and faults on demand, for work without
hardware.")

set(CPACK_DEBIAN_OSTREL_PACKAGE_NAME ostrel)
set(CPACK_DEBIAN_OSTREL_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_OSTREL_DEPENDS runtime)
set(CPACK_DEBIAN_OSTREL_DESCRIPTION "signal test dialog for the telephone-line box
Ostrel waits until the USB telephone-line box is ready and records the
line into CallSignalFile.wav while its button is down.")

set(CPACK_DEBIAN_DAEMON_PACKAGE_NAME tavrod)
set(CPACK_DEBIAN_DAEMON_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_DAEMON_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/tavrod/postinst)
set(CPACK_DEBIAN_DAEMON_DESCRIPTION "service that shares telephone-line boxes among programs
tavrod holds every telephone-line box on the machine and publishes each
one as a shared box, so that a call recorder, a caller-ID window and the
tavro tool use one box at the same time. It comes with systemd units for
the system and for users.")

include(CPack)
