# What `cmake --install` puts under the prefix.
#
# By default the libraries alone: lib/libtagport.so, and beside it
# lib/libtagport_outcome.so, which TagReader loads to tell why a call
# failed; they are all a device or an app's jniLibs needs. The Development component, installed only when asked
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

# Not in the export set: native callers never link it.
install(TARGETS tagport_outcome LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})

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

# The TestKit component (--component TestKit): what an app's JVM unit tests
# need to run against the simulated reader, under one prefix, host builds
# only:
#   lib/                libtagport.so, libtagport_outcome.so,
#                       libtagport_sim_jni.so, libtagport_redirect.so
#   share/java/         ctagport.jar, tagport-sim.jar, tagport-fake.jar
#                       (FakeCardReader, pure Java: no library, no preload)
#   bin/tagport-junit   the JUnit console with the kit's class path, library
#                       path and preloaded redirect
# The launcher finds the kit from where it is installed.
if(TARGET tagport_sim_jar AND TARGET tagport_sim_jni AND NOT CMAKE_CROSSCOMPILING)
  set(TAGPORT_INSTALL_JAVADIR ${CMAKE_INSTALL_DATADIR}/java)
  install(TARGETS tagport tagport_outcome tagport_sim_jni tagport_redirect
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
          COMPONENT TestKit EXCLUDE_FROM_ALL)
  get_target_property(TAGPORT_CTAGPORT_JAR ctagport_jar JAR_FILE)
  get_target_property(TAGPORT_SIM_JAR tagport_sim_jar JAR_FILE)
  get_target_property(TAGPORT_FAKE_JAR tagport_fake_jar JAR_FILE)
  install(FILES ${TAGPORT_CTAGPORT_JAR} ${TAGPORT_SIM_JAR} ${TAGPORT_FAKE_JAR}
          DESTINATION ${TAGPORT_INSTALL_JAVADIR}
          COMPONENT TestKit EXCLUDE_FROM_ALL)
  file(RELATIVE_PATH TAGPORT_KIT_LIB_FROM_BIN ${CMAKE_INSTALL_FULL_BINDIR}
       ${CMAKE_INSTALL_FULL_LIBDIR})
  file(RELATIVE_PATH TAGPORT_KIT_JAVA_FROM_BIN ${CMAKE_INSTALL_FULL_BINDIR}
       ${CMAKE_INSTALL_PREFIX}/${TAGPORT_INSTALL_JAVADIR})
  configure_file(cmake/package/tagport-junit.in
                 ${CMAKE_CURRENT_BINARY_DIR}/tagport-junit @ONLY)
  install(PROGRAMS ${CMAKE_CURRENT_BINARY_DIR}/tagport-junit
          DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT TestKit EXCLUDE_FROM_ALL)
else()
  # A build without the kit's parts would install an empty component and
  # succeed: the install fails instead, naming what to turn on.
  if(CMAKE_CROSSCOMPILING)
    set(tagport_kit_needs
        "a host build, for the host's JVM: configure without a toolchain file")
  else()
    set(tagport_kit_needs "")
    if(NOT TAGPORT_BUILD_JAVA)
      list(APPEND tagport_kit_needs -DTAGPORT_BUILD_JAVA=ON)
    endif()
    if(NOT TARGET tagport_sim_jni)
      list(APPEND tagport_kit_needs -DTAGPORT_BUILD_TOOLS=ON)
    endif()
    list(JOIN tagport_kit_needs " " tagport_kit_needs)
    string(PREPEND tagport_kit_needs "Java and the tools: configure with ")
  endif()
  install(CODE "message(FATAL_ERROR \"The TestKit component is not in this \
build: it needs ${tagport_kit_needs}, then build and install again.\")"
          COMPONENT TestKit EXCLUDE_FROM_ALL)
endif()
