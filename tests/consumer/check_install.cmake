# cmake -P driver for the install_consumer test (arguments come from register.cmake).
# Fails with the output of the first step that goes wrong.
cmake_minimum_required(VERSION 3.25)

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
# A DESTDIR from the caller's environment would stage the files somewhere else.
unset(ENV{DESTDIR})

function(run step)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err
                  TIMEOUT 120)
  if(NOT rc EQUAL 0)
    string(JOIN " " command ${ARGN})
    message(FATAL_ERROR "${step} failed (${rc}):\n${command}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

# 1. Install, then compare the installed files with what the tree says should ship: every
#    public header under include/korvani, the library, the CMake package and the .pc file.
set(config_args "")
if(CONFIG)
  set(config_args --config ${CONFIG})
endif()
run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} ${config_args})

set(expected "")
foreach(root "include/korvani=" "platform/include/korvani=" "host/include/korvani/host=host/"
             "host/stand_ins/include/korvani/host=host/")
  string(REGEX MATCH "^([^=]*)=(.*)$" root "${root}")
  set(source ${SOURCE_ROOT}/${CMAKE_MATCH_1})
  set(subdir "${CMAKE_MATCH_2}")
  file(GLOB_RECURSE headers RELATIVE ${source} ${source}/*.hpp)
  foreach(header ${headers})
    list(APPEND expected ${INCLUDEDIR}/korvani/${subdir}${header})
  endforeach()
endforeach()
file(GLOB_RECURSE installed RELATIVE ${prefix} ${prefix}/*)
set(library_files "")
foreach(file ${installed})
  if(file MATCHES "^${LIBDIR}/libkorvani_payment_plugin\\.(a|so(\\.[0-9]+)*)$")
    list(APPEND library_files ${file})
  elseif(NOT file MATCHES "^${LIBDIR}/cmake/KorvaniPaymentPlugin/KorvaniPaymentPlugin[A-Za-z-]*\\.cmake$"
         AND NOT file STREQUAL "${LIBDIR}/pkgconfig/korvani_payment_plugin.pc")
    list(APPEND rest ${file})
  endif()
endforeach()
list(SORT expected)
list(SORT rest)
if(NOT rest STREQUAL expected)
  string(REPLACE ";" "\n  " expected "${expected}")
  string(REPLACE ";" "\n  " rest "${rest}")
  message(FATAL_ERROR "installed besides the library and package files:\n  ${rest}\n"
                      "expected headers:\n  ${expected}")
endif()
if(LIBRARY_TYPE STREQUAL "STATIC_LIBRARY")
  set(expected_library ${LIBDIR}/libkorvani_payment_plugin.a)
else()
  set(expected_library ${LIBDIR}/libkorvani_payment_plugin.so)
endif()
if(NOT expected_library IN_LIST library_files)
  message(FATAL_ERROR "${expected_library} not installed (found: ${library_files})")
endif()
foreach(file KorvaniPaymentPluginConfig.cmake KorvaniPaymentPluginConfigVersion.cmake
             KorvaniPaymentPluginTargets.cmake)
  if(NOT EXISTS ${prefix}/${LIBDIR}/cmake/KorvaniPaymentPlugin/${file})
    message(FATAL_ERROR "${file} not installed")
  endif()
endforeach()

# 2. Versions: the installed one is accepted, another major version is not.
string(REGEX MATCH "^[0-9]+" major "${VERSION}")
math(EXPR next_major "${major} + 1")
foreach(case "${VERSION}:TRUE" "${major}:TRUE" "${next_major}.0:FALSE")
  string(REPLACE ":" ";" case "${case}")
  list(GET case 0 PACKAGE_FIND_VERSION)
  list(GET case 1 want)
  string(REPLACE "." ";" parts "${PACKAGE_FIND_VERSION}")
  list(GET parts 0 PACKAGE_FIND_VERSION_MAJOR)
  set(PACKAGE_VERSION_COMPATIBLE FALSE)
  include(${prefix}/${LIBDIR}/cmake/KorvaniPaymentPlugin/KorvaniPaymentPluginConfigVersion.cmake)
  if(NOT PACKAGE_VERSION_COMPATIBLE STREQUAL want)
    message(FATAL_ERROR "asking for version ${PACKAGE_FIND_VERSION} of ${PACKAGE_VERSION}: "
                        "compatible=${PACKAGE_VERSION_COMPATIBLE}, expected ${want}")
  endif()
endforeach()

# 3. find_package through CMAKE_PREFIX_PATH, with the flags the library was built with.
set(build ${WORK_DIR}/cmake-consumer)
run("consumer configure" ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${build} -G ${GENERATOR}
    -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_BUILD_TYPE=${CONFIG} -DCMAKE_CXX_FLAGS=${CXX_FLAGS}
    -DCMAKE_EXE_LINKER_FLAGS=${LINK_FLAGS} -DCMAKE_PREFIX_PATH=${prefix}
    -DKORVANI_EXPECTED_VERSION=${VERSION})
file(STRINGS ${build}/CMakeCache.txt package_dir REGEX "^KorvaniPaymentPlugin_DIR:")
if(NOT package_dir STREQUAL "KorvaniPaymentPlugin_DIR:PATH=${prefix}/${LIBDIR}/cmake/KorvaniPaymentPlugin")
  message(FATAL_ERROR "the consumer found another copy of the package: ${package_dir}")
endif()
run("consumer build" ${CMAKE_COMMAND} --build ${build} -j 2 ${config_args})
find_program(consumer korvani_consumer PATHS ${build} ${build}/${CONFIG} NO_DEFAULT_PATH
             NO_CACHE REQUIRED)
run("consumer run (CMake package)" ${consumer})

# 4. The same program built by hand from pkg-config's answer.
set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
run("pkg-config --cflags" ${PKG_CONFIG} --cflags korvani_payment_plugin)
separate_arguments(cflags UNIX_COMMAND "${run_output}")
if(LIBRARY_TYPE STREQUAL "STATIC_LIBRARY")
  # Our Libs and Libs.private (depth 2 stops before the required packages' own private
  # libraries: Debian's libcurl.pc lists static-only ones whose archives are not installed),
  # then the required packages as the shared libraries the system provides.
  run("pkg-config --static --libs" ${PKG_CONFIG} --static --libs --maximum-traverse-depth=2
      korvani_payment_plugin)
  separate_arguments(libs UNIX_COMMAND "${run_output}")
  run("pkg-config --print-requires-private" ${PKG_CONFIG} --print-requires-private
      korvani_payment_plugin)
  string(REGEX REPLACE "[ \t\r\n]+" ";" requires "${run_output}")
  list(REMOVE_ITEM requires "")
  if(NOT requires)
    message(FATAL_ERROR "korvani_payment_plugin.pc requires no package, libcurl expected")
  endif()
  run("pkg-config --libs ${requires}" ${PKG_CONFIG} --libs ${requires})
  separate_arguments(required_libs UNIX_COMMAND "${run_output}")
  list(APPEND libs ${required_libs})
else()
  run("pkg-config --libs" ${PKG_CONFIG} --libs korvani_payment_plugin)
  separate_arguments(libs UNIX_COMMAND "${run_output}")
endif()
separate_arguments(cxx_flags UNIX_COMMAND "${CXX_FLAGS} ${CXX_CONFIG_FLAGS}")
separate_arguments(link_flags UNIX_COMMAND "${LINK_FLAGS}")
set(program ${WORK_DIR}/pkg-config-consumer)
run("pkg-config consumer build" ${CXX} -std=c++20 ${cxx_flags} ${cflags}
    ${CONSUMER_DIR}/main.cpp -o ${program} ${link_flags} ${libs})
run("consumer run (pkg-config)" ${CMAKE_COMMAND} -E env
    LD_LIBRARY_PATH=${prefix}/${LIBDIR} ${program})
