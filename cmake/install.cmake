# Installs obx for other projects: libobx_core.a and libobx.a, obx/obx.h, the
# CMake package (find_package(obx) gives obx::core and obx::obx) and
# obx-core.pc and obx.pc for pkg-config; and obxtool.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(OBX_VERSION 1.0.0)
set(obx_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/obx)

# A sanitized build's library calls the sanitizer runtime, so whatever links
# it must link that runtime too; plain builds add nothing.
if(OSTREL_SANITIZE)
  set(obx_sanitize_flags -fsanitize=address,undefined)
  target_link_options(obx_core INTERFACE ${obx_sanitize_flags})
  target_link_options(obx INTERFACE ${obx_sanitize_flags})
endif()

# Two export sets, so that a project taking the core alone loads nothing
# that names GL's targets.
install(TARGETS obx_core EXPORT obxCoreTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS obx EXPORT obxTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES obx/obx.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/obx)
install(TARGETS obxtool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(EXPORT obxCoreTargets NAMESPACE obx:: DESTINATION ${obx_cmake_dir})
install(EXPORT obxTargets NAMESPACE obx:: DESTINATION ${obx_cmake_dir})
configure_package_config_file(cmake/obxConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/obxConfig.cmake
                              INSTALL_DESTINATION ${obx_cmake_dir})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/obxConfigVersion.cmake
                                 VERSION ${OBX_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/obxConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/obxConfigVersion.cmake DESTINATION ${obx_cmake_dir})

# The .pc files find the prefix from their own place, so the installed tree
# can be moved or installed with --prefix.
file(RELATIVE_PATH obx_pc_to_prefix /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" obx_pc_to_prefix "${obx_pc_to_prefix}")
string(JOIN " " obx_pc_sanitize ${obx_sanitize_flags})
configure_file(cmake/obx.pc.in ${CMAKE_CURRENT_BINARY_DIR}/obx.pc @ONLY)
configure_file(cmake/obx-core.pc.in ${CMAKE_CURRENT_BINARY_DIR}/obx-core.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/obx.pc ${CMAKE_CURRENT_BINARY_DIR}/obx-core.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
