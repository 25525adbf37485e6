# Registers the install check: install this build and a scratch build of the other library type
# into scratch prefixes, then build and run a small host app against each through the CMake
# package and through pkg-config.
find_program(KORVANI_PKG_CONFIG NAMES pkg-config pkgconf REQUIRED)
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  # Absolute install directories ignore --prefix, so the scratch install would not be one.
  message(STATUS "install_consumer test skipped: absolute CMAKE_INSTALL_LIBDIR/INCLUDEDIR")
  return()
endif()

# The consumer must be instrumented like the library, or a sanitized static archive does not
# link; the sanitizer switches are directory options of the top-level project.
get_directory_property(_korvani_compile_options DIRECTORY ${PROJECT_SOURCE_DIR} COMPILE_OPTIONS)
get_directory_property(_korvani_link_options DIRECTORY ${PROJECT_SOURCE_DIR} LINK_OPTIONS)
string(JOIN " " _korvani_consumer_cxx_flags ${CMAKE_CXX_FLAGS} ${_korvani_compile_options})
string(JOIN " " _korvani_consumer_link_flags ${CMAKE_EXE_LINKER_FLAGS} ${_korvani_link_options})
string(TOUPPER "${CMAKE_BUILD_TYPE}" _korvani_config)

add_test(NAME install_consumer
  COMMAND ${CMAKE_COMMAND}
    -DBUILD_DIR=${PROJECT_BINARY_DIR}
    -DCONFIG=$<CONFIG>
    -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/install_consumer
    -DSOURCE_ROOT=${PROJECT_SOURCE_DIR}
    -DCONSUMER_DIR=${CMAKE_CURRENT_LIST_DIR}
    -DGENERATOR=${CMAKE_GENERATOR}
    -DCXX=${CMAKE_CXX_COMPILER}
    "-DCXX_FLAGS=${_korvani_consumer_cxx_flags}"
    "-DPROJECT_CXX_FLAGS=${CMAKE_CXX_FLAGS}"
    -DSANITIZE=${KORVANI_SANITIZE}
    -DWERROR=${KORVANI_WERROR}
    "-DCXX_CONFIG_FLAGS=${CMAKE_CXX_FLAGS_${_korvani_config}}"
    "-DLINK_FLAGS=${_korvani_consumer_link_flags}"
    -DPKG_CONFIG=${KORVANI_PKG_CONFIG}
    -DLIBDIR=${CMAKE_INSTALL_LIBDIR}
    -DINCLUDEDIR=${CMAKE_INSTALL_INCLUDEDIR}
    -DBINDIR=${CMAKE_INSTALL_BINDIR}
    -DTOOLS=${KORVANI_BUILD_TOOLS}
    -DVERSION=${PROJECT_VERSION}
    -DVERSION_MAJOR=${PROJECT_VERSION_MAJOR}
    -DLIBRARY_TYPE=$<TARGET_PROPERTY:korvani_payment_plugin,TYPE>
    -P ${CMAKE_CURRENT_LIST_DIR}/check_install.cmake)
# Building the other library type keeps both cores busy: run it beside no other test.
set_tests_properties(install_consumer PROPERTIES TIMEOUT 600 PROCESSORS 2)
