# The C API's tests: a C host compiled as C99 that pays against the korvani-sandbox program
# and checks the header's contracts; one that unloads the library after shutting it down with a
# payment in flight; the boundary's own pieces in C++ (which also compiles the header as C++);
# and the exported symbols against capi/korvani_c.symbols.
enable_language(C)

add_library(korvani_capi_c_support STATIC capi/c_host_support.c)
target_include_directories(korvani_capi_c_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/capi)
target_link_libraries(korvani_capi_c_support PUBLIC Threads::Threads)

# korvani_add_c_test(<name> <source> <libraries>...): a C99 program, pedantic.
function(korvani_add_c_test name source)
  add_executable(${name} ${source})
  target_link_libraries(${name} PRIVATE korvani_capi_c_support ${ARGN})
  add_dependencies(${name} korvani-sandbox)
endfunction()
korvani_add_c_test(korvani_capi_c_test capi/capi_test.c korvani::c)
# Not linked with the library: it loads and unloads it (the header only gives the types).
korvani_add_c_test(korvani_capi_unload_test capi/unload_test.c ${CMAKE_DL_LIBS})
target_include_directories(korvani_capi_unload_test PRIVATE ${PROJECT_SOURCE_DIR}/capi/include)
add_dependencies(korvani_capi_unload_test korvani_c)
foreach(target korvani_capi_c_support korvani_capi_c_test korvani_capi_unload_test)
  set_target_properties(${target} PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON
                        C_EXTENSIONS OFF)
  target_compile_options(${target} PRIVATE -pedantic -Wall -Wextra
                         $<$<BOOL:${KORVANI_WERROR}>:-Werror>)
endforeach()
add_test(NAME capi_c COMMAND korvani_capi_c_test $<TARGET_FILE:korvani-sandbox>)
# ThreadSanitizer keeps atexit handlers in a list of its own, which it runs at exit even for an
# unloaded library (the session's handler would jump into unmapped code): there the library
# stays loaded, and the test checks the shutdown alone.
set(_korvani_unload_mode "")
if(KORVANI_SANITIZE STREQUAL "thread")
  set(_korvani_unload_mode --keep-loaded)
endif()
add_test(NAME capi_unload
  COMMAND korvani_capi_unload_test $<TARGET_FILE:korvani_c> $<TARGET_FILE:korvani-sandbox>
          ${_korvani_unload_mode})
set_tests_properties(capi_c capi_unload PROPERTIES TIMEOUT 300)
if(KORVANI_SANITIZE STREQUAL "address")
  # An unloaded library's never-freed singletons (the main queue, the session) are unreachable
  # once its memory is gone, which LeakSanitizer takes for leaks; capi_c checks leaks with the
  # library loaded.
  set_tests_properties(capi_unload PROPERTIES
    ENVIRONMENT "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1")
endif()

korvani_add_test(NAME capi
  SOURCES edge_test.cpp
  INCLUDES ${PROJECT_SOURCE_DIR}/capi/src
  LIBRARIES korvani_c_objects)

add_test(NAME capi_symbols
  COMMAND ${CMAKE_COMMAND} -DLIBRARY=$<TARGET_FILE:korvani_c> -DNM=${CMAKE_NM}
          -DEXPECTED=${PROJECT_SOURCE_DIR}/capi/korvani_c.symbols
          -P ${CMAKE_CURRENT_LIST_DIR}/check_symbols.cmake)

# The request a host can print, copied out through the C API.
add_executable(korvani_capi_request_test capi/request_preview_test.c)
target_link_libraries(korvani_capi_request_test PRIVATE korvani::c)
set_target_properties(korvani_capi_request_test PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON
                      C_EXTENSIONS OFF)
target_compile_options(korvani_capi_request_test PRIVATE -pedantic -Wall -Wextra
                       $<$<BOOL:${KORVANI_WERROR}>:-Werror>)
add_test(NAME capi_request COMMAND korvani_capi_request_test)
