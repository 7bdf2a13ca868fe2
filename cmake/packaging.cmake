# Installation (GNUInstallDirs places) and the Debian package (cpack -G DEB). Only the two
# programs, the library the tool runs on, the documents and the manual page are installed;
# tests, benchmarks and fuzz targets are not.
set(DM_PACKAGE_NAME dm-switch-traffic)
# Debian keeps a package's documents under its package name.
set(CMAKE_INSTALL_DOCDIR "share/doc/${DM_PACKAGE_NAME}" CACHE PATH "documentation root")
include(GNUInstallDirs)

# The tool's operations library is private to it: kept out of the linker's search path and found
# through the program's run path.
set(dm_private_libdir "${CMAKE_INSTALL_LIBDIR}/${DM_PACKAGE_NAME}")
file(RELATIVE_PATH dm_bin_to_lib "/${CMAKE_INSTALL_BINDIR}" "/${dm_private_libdir}")
set_target_properties(dm.arm.switch_traffic PROPERTIES INSTALL_RPATH "$ORIGIN/${dm_bin_to_lib}")
install(TARGETS dm.arm.switch_traffic dm-cloud-emulator RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS cutoverlib LIBRARY DESTINATION ${dm_private_libdir})

# The manual page, from the built program's --help text.
set(dm_manpage ${CMAKE_BINARY_DIR}/man/dm.arm.switch_traffic.1)
add_custom_command(
  OUTPUT ${dm_manpage}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
  COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:dm.arm.switch_traffic>
          -DNAME=dm.arm.switch_traffic
          "-DSUMMARY=switch the traffic of Azure spoke VNets onto a controller-managed transit"
          "-DSEE_ALSO=README.md and the runbook docs/operations.md in ${CMAKE_INSTALL_DOCDIR} under the installation prefix (/usr for the Debian package)."
          -DOUTPUT=${dm_manpage} -P ${PROJECT_SOURCE_DIR}/cmake/manpage.cmake
  DEPENDS dm.arm.switch_traffic ${PROJECT_SOURCE_DIR}/cmake/manpage.cmake
  COMMENT "Writing the manual page dm.arm.switch_traffic.1"
  VERBATIM)
add_custom_target(dm_manpage ALL DEPENDS ${dm_manpage})
install(FILES ${dm_manpage} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The README links the documents as docs/<name>.md: the same layout keeps the links working.
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
file(GLOB dm_docs ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${dm_docs} DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)

set(CPACK_PACKAGE_NAME ${DM_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "switch Azure spoke VNets' traffic onto a controller-managed transit")
set(CPACK_PACKAGE_DESCRIPTION
    "dm.arm.switch_traffic moves the subnets of Azure spoke VNets to their staged route tables, \
removes native peerings and hub connections, and attaches the spoke gateways to their transit \
through the controller's API; --revert undoes a switch. Also holds dm-cloud-emulator, a loopback \
emulator of Azure and the controller for trying the tool out.")
set(CPACK_PACKAGE_CONTACT "dm-switch-traffic maintainers <root@localhost>" CACHE STRING
    "the package's maintainer field")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
# The dependencies are the runtime packages of the libraries the programs link, as
# dpkg-shlibdeps finds them; bash runs the Terraform import scripts.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
set(CPACK_DEBIAN_PACKAGE_DEPENDS "bash")
set(CPACK_STRIP_FILES ON)
include(CPack)
