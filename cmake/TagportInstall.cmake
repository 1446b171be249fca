# What `cmake --install` puts under the prefix.
#
# By default the library alone: lib/libtagport.so is all a device or an
# app's jniLibs needs. The Development component, installed only when asked
# for (--component Development), adds what native callers build against:
#   include/tagport/   the four public headers
#   lib/cmake/tagport/ find_package(tagport) -> imported target tagport::tagport
#   lib/pkgconfig/     tagport.pc
# Both package files locate the prefix from where they are installed, so an
# install with --prefix somewhere else still finds itself.

include(CMakePackageConfigHelpers)
include(GNUInstallDirs)

set(TAGPORT_INSTALL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tagport)

install(TARGETS tagport EXPORT tagportTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(FILES ${TAGPORT_PUBLIC_HEADERS}
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tagport
        COMPONENT Development EXCLUDE_FROM_ALL)

install(EXPORT tagportTargets NAMESPACE tagport::
        DESTINATION ${TAGPORT_INSTALL_CMAKE_DIR}
        COMPONENT Development EXCLUDE_FROM_ALL)
configure_package_config_file(cmake/package/tagportConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/tagportConfig.cmake
  INSTALL_DESTINATION ${TAGPORT_INSTALL_CMAKE_DIR})
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/tagportConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tagportConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/tagportConfigVersion.cmake
        DESTINATION ${TAGPORT_INSTALL_CMAKE_DIR}
        COMPONENT Development EXCLUDE_FROM_ALL)

# The prefix as a path from the .pc file's own folder, which GNUInstallDirs
# may put deeper (lib/<multiarch>/pkgconfig under /usr).
file(RELATIVE_PATH TAGPORT_PC_PREFIX_FROM_PCDIR
     ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
configure_file(cmake/package/tagport.pc.in
               ${CMAKE_CURRENT_BINARY_DIR}/tagport.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tagport.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT Development EXCLUDE_FROM_ALL)
