# Installation for host apps: the three layers (the platform as JSON and the rest) and the host
# stand-ins with their public headers, the C API (libkorvani_c and korvani/korvani.h), one CMake
# package (find_package(KorvaniPaymentPlugin) -> korvani::payment_plugin, which brings
# korvani::host, korvani::platform and korvani::json; korvani::host_stand_ins and korvani::c
# beside them) and a pkg-config file per library. Tests stay in the build tree; tools/sandbox
# installs the korvani-sandbox program when tools are built.
include(CMakePackageConfigHelpers)

set(KORVANI_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/KorvaniPaymentPlugin)
set(KORVANI_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(TARGETS korvani_json korvani_platform korvani_host korvani_host_stand_ins
                korvani_payment_plugin korvani_c
  EXPORT KorvaniPaymentPluginTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Whole directories by pattern, so headers added later ship without touching this file. The
# four roots merge into one include/korvani tree, matching the #include paths in the code.
foreach(root plugin/include platform/include host/include host/stand_ins/include)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${root}/korvani/
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/korvani
    FILES_MATCHING PATTERN "*.hpp")
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/capi/include/korvani/korvani.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/korvani)

install(EXPORT KorvaniPaymentPluginTargets
  NAMESPACE korvani::
  DESTINATION ${KORVANI_INSTALL_CMAKEDIR})

# A static archive leaves its private dependencies for the consumer's link; a shared library
# has already resolved them. All five libraries are of one type.
get_target_property(_korvani_library_type korvani_platform TYPE)
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

# The .pc files locate the prefix from their own directory (${pcfiledir}), so an installed tree
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

# libcurl and OpenSSL have pkg-config modules of their own and are named in Requires.private;
# Boost.JSON has none, so its link flag is spelled out (with its directory when the compiler does
# not search it anyway).
get_target_property(_korvani_boost_json Boost::json LOCATION)
cmake_path(GET _korvani_boost_json PARENT_PATH _korvani_dir)
cmake_path(GET _korvani_boost_json FILENAME _korvani_file)
if(NOT _korvani_file MATCHES "^lib(.+)\\.(so|a)(\\.[0-9.]+)?$")
  message(FATAL_ERROR "cannot name Boost.JSON (${_korvani_boost_json}) for pkg-config")
endif()
set(_korvani_boost_libs "-l${CMAKE_MATCH_1}")
if(NOT _korvani_dir IN_LIST CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES)
  set(_korvani_boost_libs "-L${_korvani_dir} ${_korvani_boost_libs}")
endif()

# korvani_install_pc(<library> <description> [REQUIRES <module>...]
#                    [REQUIRES_PRIVATE <module>...] [LIBS <flag>...] [LIBS_PRIVATE <flag>...])
# One .pc file per library; a library's Requires are the other layers it links, so
# `pkg-config --libs korvani_payment_plugin` lists every library in link order. What the
# layers use inside is private: a shared install has resolved it already, a static one needs
# `pkg-config --static`, which adds it.
function(korvani_install_pc name description)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "" "REQUIRES;REQUIRES_PRIVATE;LIBS;LIBS_PRIVATE")
  set(KORVANI_PC_NAME ${name})
  set(KORVANI_PC_DESCRIPTION "${description}")
  list(TRANSFORM arg_REQUIRES APPEND " = ${PROJECT_VERSION}")
  string(JOIN ", " KORVANI_PC_REQUIRES ${arg_REQUIRES})
  string(JOIN ", " KORVANI_PC_REQUIRES_PRIVATE ${arg_REQUIRES_PRIVATE})
  string(JOIN " " KORVANI_PC_LIBS ${arg_LIBS})
  string(JOIN " " KORVANI_PC_LIBS_PRIVATE ${arg_LIBS_PRIVATE})
  configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/korvani_library.pc.in
    ${PROJECT_BINARY_DIR}/${name}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${name}.pc DESTINATION ${KORVANI_INSTALL_PKGCONFIGDIR})
endfunction()

korvani_install_pc(korvani_json "JSON values and exact decimals for the payment plug-in"
  LIBS_PRIVATE ${_korvani_boost_libs})
korvani_install_pc(korvani_platform
  "Platform services for the payment plug-in: URL session, main queue, clock"
  REQUIRES korvani_json REQUIRES_PRIVATE "libcurl >= 7.80" "openssl >= 3" LIBS -pthread)
korvani_install_pc(korvani_host "Host checkout interface for the payment plug-in"
  REQUIRES korvani_json)
korvani_install_pc(korvani_host_stand_ins "Ready-made host checkout objects"
  REQUIRES korvani_host)
korvani_install_pc(korvani_payment_plugin
  "Payment-processor plug-in for host checkout applications"
  REQUIRES korvani_host korvani_platform REQUIRES_PRIVATE "libcrypto >= 3")
# Always shared, with the C++ layers inside or beside it: a C host links it alone.
korvani_install_pc(korvani_c "C interface of the payment plug-in, for hosts in any language")
