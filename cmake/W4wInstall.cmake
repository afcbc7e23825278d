# What cmake --install lays out, and the archives CPack makes of it:
#   bin/                          w4wpack for the build's machine (Linux, or w4wpack.exe)
#   share/wrapper4wrapper/        the launcher template, wrapper4wrapper.exe
#   share/wrapper4wrapper/cmake/  the CMake package: find_package(wrapper4wrapper CONFIG)
#   share/doc/wrapper4wrapper/    README.md, docs/ and NOTICE
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(W4W_INSTALL_TEMPLATE ${CMAKE_INSTALL_DATADIR}/wrapper4wrapper/wrapper4wrapper.exe)
set(W4W_INSTALL_PACKAGE ${CMAKE_INSTALL_DATADIR}/wrapper4wrapper/cmake)

install(TARGETS w4wpack RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT packer)
if(TARGET wrapper4wrapper)
  install(TARGETS wrapper4wrapper RUNTIME DESTINATION ${CMAKE_INSTALL_DATADIR}/wrapper4wrapper COMPONENT template)
endif()

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/wrapper4wrapperConfig.cmake.in
  ${PROJECT_BINARY_DIR}/wrapper4wrapperConfig.cmake
  INSTALL_DESTINATION ${W4W_INSTALL_PACKAGE}
  PATH_VARS W4W_INSTALL_TEMPLATE CMAKE_INSTALL_BINDIR)
# The package holds programs for two machines; the consumer's own does not matter.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/wrapper4wrapperConfigVersion.cmake
  COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES
    ${PROJECT_BINARY_DIR}/wrapper4wrapperConfig.cmake
    ${PROJECT_BINARY_DIR}/wrapper4wrapperConfigVersion.cmake
    ${PROJECT_SOURCE_DIR}/cmake/W4wAddLauncher.cmake
  DESTINATION ${W4W_INSTALL_PACKAGE} COMPONENT package)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/NOTICE
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT package)
# Beside the README, where its links lead.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT package
  FILES_MATCHING PATTERN "*.md")

set(CPACK_PACKAGE_NAME wrapper4wrapper)
set(CPACK_PACKAGE_VENDOR "wrapper4wrapper")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "A single-file launcher for 64-bit Windows, and its packer")
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME wrapper4wrapper-${PROJECT_VERSION}-windows-x64)
else()
  # The Linux archive and Debian package: this build's packer with the template from the
  # Windows build.
  set(W4W_TEMPLATE_BUILD ${PROJECT_SOURCE_DIR}/build/mingw CACHE PATH
    "The Windows build whose launcher template the Linux archive carries")
  set(CPACK_GENERATOR TGZ DEB)
  set(CPACK_PACKAGE_FILE_NAME wrapper4wrapper-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "wrapper4wrapper")
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6")
  set(CPACK_INSTALL_CMAKE_PROJECTS
    "${PROJECT_BINARY_DIR};wrapper4wrapper;ALL;/"
    "${W4W_TEMPLATE_BUILD};wrapper4wrapper;template;/")
endif()
include(CPack)
