# Install rules: the library, its headers, the CMake package and pkg-config file, the
# programs, Ostrel's desktop entry and icons, the documentation. Each file belongs to one
# component, which is one Debian package (cmake/package.cmake):
#   runtime  libtavro1     the shared library
#   dev      libtavro-dev  headers, the .so link, CMake package, pkg-config, the vbox double
#   tools    tavro-tools   tavro, tavro-box, their man pages, the udev rule, the USB page
#   ostrel   ostrel        Ostrel, its desktop entry, icons and man page
#   daemon   tavrod        tavrod, its systemd units, its group and man page
include(CMakePackageConfigHelpers)

set(TAVRO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Tavro)
set(TAVRO_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
set(TAVRO_PACKAGE_runtime libtavro1)
set(TAVRO_PACKAGE_dev libtavro-dev)
set(TAVRO_PACKAGE_tools tavro-tools)
set(TAVRO_PACKAGE_ostrel ostrel)
set(TAVRO_PACKAGE_daemon tavrod)

# tavro_install_docs(component file...): the documents of one package.
function(tavro_install_docs component)
  if(TAVRO_PACKAGE_DEB)
    set(dir ${CMAKE_INSTALL_DATADIR}/doc/${TAVRO_PACKAGE_${component}})
  else()
    set(dir ${CMAKE_INSTALL_DOCDIR})
  endif()
  # No EXISTS test here: the changelog is generated at build time, after configuring.
  install(FILES ${ARGN} DESTINATION ${dir} COMPONENT ${component})
endfunction()

# The library and its headers.
install(TARGETS tavro EXPORT TavroTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
install(DIRECTORY include/tavro DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev
        FILES_MATCHING PATTERN "*.h")
install(FILES ${PROJECT_BINARY_DIR}/include/tavro/version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tavro COMPONENT dev)

# find_package(Tavro): Tavro::tavro (and Tavro::vbox), relocatable with the prefix.
install(EXPORT TavroTargets NAMESPACE Tavro:: DESTINATION ${TAVRO_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(cmake/TavroConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/cmake/TavroConfig.cmake
                              INSTALL_DESTINATION ${TAVRO_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/cmake/TavroConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/cmake/TavroConfig.cmake
        ${PROJECT_BINARY_DIR}/cmake/TavroConfigVersion.cmake
        DESTINATION ${TAVRO_CMAKE_DIR} COMPONENT dev)

# The virtual box as a test double: a static library, so that it has no ABI to keep.
if(TARGET tavro_vbox)
  install(TARGETS tavro_vbox EXPORT TavroTargets
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
  list(TRANSFORM TAVRO_VBOX_HEADERS PREPEND ${PROJECT_SOURCE_DIR}/vbox/ OUTPUT_VARIABLE headers)
  install(FILES ${headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tavro/vbox COMPONENT dev)
  set(TAVRO_PC_FILES tavro tavro-vbox)
else()
  set(TAVRO_PC_FILES tavro)
endif()

# pkg-config files, written at install time straight into the prefix installed into
# (cmake --install --prefix may differ from the configured one); the build tree, which the
# installing user may not own, is not written to.
foreach(pc ${TAVRO_PC_FILES})
  install(CODE "
    set(TAVRO_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    set(TAVRO_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
    set(TAVRO_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
    set(PROJECT_VERSION \"${PROJECT_VERSION}\")
    set(PROJECT_DESCRIPTION \"${PROJECT_DESCRIPTION}\")
    set(pc_file \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${TAVRO_PKGCONFIG_DIR}/${pc}.pc\")
    message(STATUS \"Installing: \${pc_file}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in\" \"\${pc_file}\" @ONLY)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${pc_file}\")"
    COMPONENT dev)
endforeach()

# The programs.
if(TAVRO_BUILD_TOOLS)
  set_target_properties(tavro_tool PROPERTIES INSTALL_RPATH "${TAVRO_PROGRAM_RPATH}")
  install(TARGETS tavro_tool tavro-box RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT tools)
  tavro_install_docs(tools ${PROJECT_SOURCE_DIR}/docs/tavro-tool.md
                     ${PROJECT_SOURCE_DIR}/docs/virtual-box.md ${PROJECT_SOURCE_DIR}/docs/usb.md)
endif()
if(TARGET tavrod)
  install(TARGETS tavrod RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT daemon)
  # The units where systemd reads them under the prefix (/usr/lib/systemd in /usr).
  install(FILES packaging/tavrod/tavrod.service DESTINATION lib/systemd/system COMPONENT daemon)
  install(FILES packaging/tavrod/tavrod-user.service RENAME tavrod.service
          DESTINATION lib/systemd/user COMPONENT daemon)
  install(FILES packaging/tavrod/sysusers.conf RENAME tavrod.conf DESTINATION lib/sysusers.d
          COMPONENT daemon)
  tavro_install_docs(daemon ${PROJECT_SOURCE_DIR}/docs/sharing.md)
endif()
if(TARGET ostrel)
  set_target_properties(ostrel PROPERTIES INSTALL_RPATH "${TAVRO_PROGRAM_RPATH}")
  install(TARGETS ostrel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ostrel)
  install(FILES testapp/ostrel.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
          COMPONENT ostrel)
  foreach(size 16 32)
    install(FILES testapp/ostrel-${size}.xpm RENAME ostrel.xpm COMPONENT ostrel
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
  endforeach()
endif()

tavro_install_docs(dev ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/virtual-wire.md)
if(TAVRO_PACKAGE_DEB)
  # Debian wants a copyright file and a compressed changelog in every package.
  set(changelog ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz)
  add_custom_command(OUTPUT ${changelog}
                     COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/changelog > ${changelog}
                     DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog VERBATIM)
  add_custom_target(tavro_changelog ALL DEPENDS ${changelog})
  foreach(component runtime dev tools ostrel daemon)
    tavro_install_docs(${component} ${PROJECT_SOURCE_DIR}/packaging/copyright ${changelog})
  endforeach()
endif()
