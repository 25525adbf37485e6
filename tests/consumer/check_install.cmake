# cmake -P driver for the install_consumer test (arguments come from register.cmake). Installs
# this build, and a scratch build of the other library type (static or shared), each into its
# own prefix, then builds and runs a small host app against each through the CMake package and
# through pkg-config. Fails with the output of the first step that goes wrong.
cmake_minimum_required(VERSION 3.25)

# The scratch build is kept between runs, so that a second run only rebuilds what changed.
set(other_build ${WORK_DIR}/other-build)
file(GLOB old_runs LIST_DIRECTORIES true ${WORK_DIR}/*)
list(REMOVE_ITEM old_runs ${other_build})
if(old_runs)
  file(REMOVE_RECURSE ${old_runs})
endif()
file(MAKE_DIRECTORY ${WORK_DIR})
# A DESTDIR from the caller's environment would stage the files somewhere else.
unset(ENV{DESTDIR})

function(run step)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err
                  TIMEOUT 300)
  if(NOT rc EQUAL 0)
    string(JOIN " " command ${ARGN})
    message(FATAL_ERROR "${step} failed (${rc}):\n${command}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

set(config_args "")
if(CONFIG)
  set(config_args --config ${CONFIG})
endif()
set(libraries korvani_json korvani_platform korvani_host korvani_host_stand_ins
    korvani_payment_plugin)

# 1. Both installs. The scratch build has this build's compiler, flags and sanitizers (a
#    sanitized library needs a sanitized consumer) and builds the libraries only.
if(LIBRARY_TYPE STREQUAL "STATIC_LIBRARY")
  set(this_type static)
  set(other_type shared)
  set(other_shared ON)
else()
  set(this_type shared)
  set(other_type static)
  set(other_shared OFF)
endif()
run("install (${this_type})" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix
    ${WORK_DIR}/${this_type} ${config_args})
run("${other_type} build configure" ${CMAKE_COMMAND} -S ${SOURCE_ROOT} -B ${other_build}
    -G ${GENERATOR} -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_BUILD_TYPE=${CONFIG}
    -DCMAKE_CXX_FLAGS=${PROJECT_CXX_FLAGS} -DKORVANI_SANITIZE=${SANITIZE}
    -DKORVANI_WERROR=${WERROR} -DBUILD_SHARED_LIBS=${other_shared} -DKORVANI_BUILD_TESTS=OFF
    -DKORVANI_BUILD_TOOLS=OFF -DKORVANI_BUILD_BENCH=OFF
    -DCMAKE_INSTALL_LIBDIR=${LIBDIR} -DCMAKE_INSTALL_INCLUDEDIR=${INCLUDEDIR})
run("${other_type} build" ${CMAKE_COMMAND} --build ${other_build} -j 2 ${config_args})
run("install (${other_type})" ${CMAKE_COMMAND} --install ${other_build} --prefix
    ${WORK_DIR}/${other_type} ${config_args})

# Every public header under include/korvani of the four include roots.
set(expected_headers "")
foreach(root plugin/include platform/include host/include host/stand_ins/include)
  file(GLOB_RECURSE headers RELATIVE ${SOURCE_ROOT}/${root} ${SOURCE_ROOT}/${root}/korvani/*.hpp)
  list(TRANSFORM headers PREPEND ${INCLUDEDIR}/)
  list(APPEND expected_headers ${headers})
endforeach()
list(SORT expected_headers)

separate_arguments(cxx_flags UNIX_COMMAND "${CXX_FLAGS} ${CXX_CONFIG_FLAGS}")
separate_arguments(link_flags UNIX_COMMAND "${LINK_FLAGS}")

foreach(type static shared)
  set(prefix ${WORK_DIR}/${type})

  # 2. The installed files: the headers, the five libraries of this type, the C API's shared
  #    library and header, the CMake package and one .pc file per library, and the sandbox
  #    program when tools were built (the scratch build has none), nothing else.
  set(expected ${expected_headers} ${INCLUDEDIR}/korvani/korvani.h ${LIBDIR}/pkgconfig/korvani_c.pc
      ${LIBDIR}/libkorvani_c.so ${LIBDIR}/libkorvani_c.so.${VERSION_MAJOR}
      ${LIBDIR}/libkorvani_c.so.${VERSION})
  if(TOOLS AND type STREQUAL this_type)
    list(APPEND expected ${BINDIR}/korvani-sandbox)
  endif()
  foreach(library ${libraries})
    list(APPEND expected ${LIBDIR}/pkgconfig/${library}.pc)
    if(type STREQUAL "static")
      list(APPEND expected ${LIBDIR}/lib${library}.a)
    else()
      list(APPEND expected ${LIBDIR}/lib${library}.so ${LIBDIR}/lib${library}.so.${VERSION_MAJOR}
           ${LIBDIR}/lib${library}.so.${VERSION})
    endif()
  endforeach()
  foreach(file Config ConfigVersion Targets)
    list(APPEND expected ${LIBDIR}/cmake/KorvaniPaymentPlugin/KorvaniPaymentPlugin${file}.cmake)
  endforeach()
  file(GLOB_RECURSE installed RELATIVE ${prefix} ${prefix}/*)
  # The per-configuration part of the exported targets.
  list(FILTER installed EXCLUDE REGEX "/KorvaniPaymentPluginTargets-[a-z]+\\.cmake$")
  list(SORT expected)
  list(SORT installed)
  if(NOT installed STREQUAL expected)
    string(REPLACE ";" "\n  " expected "${expected}")
    string(REPLACE ";" "\n  " installed "${installed}")
    message(FATAL_ERROR "${type} install:\n  ${installed}\nexpected:\n  ${expected}")
  endif()

  # The installed sandbox runs from where it lies (it finds a shared install's libraries).
  if(TOOLS AND type STREQUAL this_type)
    run("installed korvani-sandbox" ${prefix}/${BINDIR}/korvani-sandbox --scenarios)
    if(NOT run_output MATCHES "sbx-approved")
      message(FATAL_ERROR "the installed korvani-sandbox printed no scenarios:\n${run_output}")
    endif()
  endif()

  # 3. Versions: the installed one is accepted, another major version is not.
  math(EXPR next_major "${VERSION_MAJOR} + 1")
  foreach(case "${VERSION}:TRUE" "${VERSION_MAJOR}:TRUE" "${next_major}.0:FALSE")
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

  # 4. find_package through CMAKE_PREFIX_PATH, with the flags the library was built with.
  set(build ${WORK_DIR}/${type}-cmake-consumer)
  run("${type} consumer configure" ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${build}
      -G ${GENERATOR} -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_BUILD_TYPE=${CONFIG}
      -DCMAKE_CXX_FLAGS=${CXX_FLAGS} -DCMAKE_EXE_LINKER_FLAGS=${LINK_FLAGS}
      -DCMAKE_PREFIX_PATH=${prefix} -DKORVANI_EXPECTED_VERSION=${VERSION})
  file(STRINGS ${build}/CMakeCache.txt package_dir REGEX "^KorvaniPaymentPlugin_DIR:")
  if(NOT package_dir STREQUAL
     "KorvaniPaymentPlugin_DIR:PATH=${prefix}/${LIBDIR}/cmake/KorvaniPaymentPlugin")
    message(FATAL_ERROR "the ${type} consumer found another copy of the package: ${package_dir}")
  endif()
  run("${type} consumer build" ${CMAKE_COMMAND} --build ${build} -j 2 ${config_args})
  find_program(consumer korvani_consumer PATHS ${build} ${build}/${CONFIG} NO_DEFAULT_PATH
               NO_CACHE REQUIRED)
  run("${type} consumer run (CMake package)" ${consumer})
  unset(consumer)

  # 5. The same program built by hand from pkg-config's answer: `--libs` links the shared
  #    install, `--static` the static one (its private dependencies come from their own modules).
  set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
  set(modules korvani_payment_plugin korvani_host_stand_ins)
  run("pkg-config --cflags" ${PKG_CONFIG} --cflags ${modules})
  separate_arguments(cflags UNIX_COMMAND "${run_output}")
  set(object ${WORK_DIR}/${type}-pkg-config-consumer.o)
  run("${type} pkg-config consumer compile" ${CXX} -std=c++20 ${cxx_flags} ${cflags} -c
      ${CONSUMER_DIR}/main.cpp -o ${object})
  if(type STREQUAL "static")
    set(link_modes --static)
  else()
    set(link_modes --libs)
  endif()
  foreach(mode ${link_modes})
    set(pkg_config_args --libs)
    if(mode STREQUAL "--static")
      list(APPEND pkg_config_args --static)
    endif()
    run("pkg-config ${pkg_config_args}" ${PKG_CONFIG} ${pkg_config_args} ${modules})
    separate_arguments(libs UNIX_COMMAND "${run_output}")
    set(program ${WORK_DIR}/${type}-pkg-config-consumer${mode})
    run("${type} pkg-config consumer link (${mode})" ${CXX} ${object} -o ${program}
        ${link_flags} ${libs})
    run("${type} consumer run (pkg-config ${mode})" ${CMAKE_COMMAND} -E env
        LD_LIBRARY_PATH=${prefix}/${LIBDIR} ${program})
  endforeach()

  # 6. A C host through pkg-config's korvani_c alone (the C++ driver compiles it as C99).
  run("pkg-config korvani_c" ${PKG_CONFIG} --cflags --libs korvani_c)
  separate_arguments(c_flags UNIX_COMMAND "${run_output}")
  set(program ${WORK_DIR}/${type}-c-consumer)
  run("${type} C consumer build" ${CXX} -x c -std=c99 -pedantic -Wall -Wextra -Werror ${cxx_flags}
      ${CONSUMER_DIR}/main.c -x none -o ${program} ${link_flags} ${c_flags})
  run("${type} C consumer run" ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/${LIBDIR}
      ${program})
endforeach()
