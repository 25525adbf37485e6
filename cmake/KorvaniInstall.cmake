# Installation for host apps: the library, its public headers, a CMake package
# (find_package(KorvaniPaymentPlugin) -> korvani::payment_plugin) and a pkg-config file.
# Only the library and its headers are installed; tests and tools stay in the build tree.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KORVANI_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/KorvaniPaymentPlugin)
set(KORVANI_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The public headers use concepts and <compare>; consumers inherit the language level with
# the target instead of having to know it.
target_compile_features(korvani_payment_plugin PUBLIC cxx_std_20)
set_target_properties(korvani_payment_plugin PROPERTIES EXPORT_NAME payment_plugin)

install(TARGETS korvani_payment_plugin
  EXPORT KorvaniPaymentPluginTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Whole directories by pattern, so headers added later ship without touching this file. The
# four roots merge into one include/korvani tree, matching the #include paths in the code.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/korvani/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/korvani
  FILES_MATCHING PATTERN "*.hpp")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/platform/include/korvani/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/korvani
  FILES_MATCHING PATTERN "*.hpp")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/host/include/korvani/host/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/korvani/host
  FILES_MATCHING PATTERN "*.hpp")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/host/stand_ins/include/korvani/host/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/korvani/host
  FILES_MATCHING PATTERN "*.hpp")

install(EXPORT KorvaniPaymentPluginTargets
  NAMESPACE korvani::
  DESTINATION ${KORVANI_INSTALL_CMAKEDIR})

# A static archive leaves its private dependencies for the consumer's link; a shared library
# has already resolved them.
get_target_property(_korvani_library_type korvani_payment_plugin TYPE)
if(_korvani_library_type STREQUAL "STATIC_LIBRARY")
  set(KORVANI_STATIC_LIBRARY TRUE)
else()
  set(KORVANI_STATIC_LIBRARY FALSE)
endif()
set(KORVANI_BOOST_VERSION ${Boost_VERSION_MAJOR}.${Boost_VERSION_MINOR})

configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/KorvaniPaymentPluginConfig.cmake.in
  ${PROJECT_BINARY_DIR}/KorvaniPaymentPluginConfig.cmake
  INSTALL_DESTINATION ${KORVANI_INSTALL_CMAKEDIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/KorvaniPaymentPluginConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/KorvaniPaymentPluginConfig.cmake
  ${PROJECT_BINARY_DIR}/KorvaniPaymentPluginConfigVersion.cmake
  DESTINATION ${KORVANI_INSTALL_CMAKEDIR})

# The .pc file locates the prefix from its own directory (${pcfiledir}), so an installed tree
# can be moved or staged with DESTDIR or `cmake --install --prefix` and still resolve.
function(_korvani_pc_path out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "\${prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()
if(IS_ABSOLUTE "${KORVANI_INSTALL_PKGCONFIGDIR}")
  set(KORVANI_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH _korvani_pc_up "/${KORVANI_INSTALL_PKGCONFIGDIR}" "/")
  string(REGEX REPLACE "/$" "" _korvani_pc_up "${_korvani_pc_up}")
  set(KORVANI_PC_PREFIX "\${pcfiledir}/${_korvani_pc_up}")
endif()
_korvani_pc_path(KORVANI_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
_korvani_pc_path(KORVANI_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/korvani_payment_plugin.pc.in
  ${PROJECT_BINARY_DIR}/korvani_payment_plugin.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/korvani_payment_plugin.pc
  DESTINATION ${KORVANI_INSTALL_PKGCONFIGDIR})
