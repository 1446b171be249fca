# What `cmake --install` puts under the prefix.
#
# By default the library alone: lib/libtagport.so is all a device or an
# app's jniLibs needs. The Development component, installed only when asked
# for (--component Development), adds what native callers build against:
#   include/tagport/   the three public headers
#   lib/cmake/tagport/ find_package(tagport) -> imported target tagport::tagport
#   lib/pkgconfig/     tagport.pc
# Both package files locate the prefix from where they are installed, so an
# install with --prefix somewhere else still finds itself.

include(CMakePackageConfigHelpers)

set(TAGPORT_INSTALL_CMAKE_DIR lib/cmake/tagport)

install(TARGETS tagport EXPORT tagportTargets
        LIBRARY DESTINATION lib
        INCLUDES DESTINATION include)

install(FILES ${TAGPORT_PUBLIC_HEADERS}
        DESTINATION include/tagport
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

configure_file(cmake/package/tagport.pc.in
               ${CMAKE_CURRENT_BINARY_DIR}/tagport.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tagport.pc
        DESTINATION lib/pkgconfig
        COMPONENT Development EXCLUDE_FROM_ALL)
