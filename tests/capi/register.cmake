# The C API's tests: a C host compiled as C99 that pays against the korvani-sandbox program
# and checks the header's contracts; the boundary's own pieces in C++ (which also compiles the
# header as C++); and the exported symbols against capi/korvani_c.symbols.
enable_language(C)

add_executable(korvani_capi_c_test capi/capi_test.c)
target_link_libraries(korvani_capi_c_test PRIVATE korvani::c Threads::Threads)
set_target_properties(korvani_capi_c_test PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON
                      C_EXTENSIONS OFF)
target_compile_options(korvani_capi_c_test PRIVATE -pedantic -Wall -Wextra
                       $<$<BOOL:${KORVANI_WERROR}>:-Werror>)
add_dependencies(korvani_capi_c_test korvani-sandbox)
add_test(NAME capi_c COMMAND korvani_capi_c_test $<TARGET_FILE:korvani-sandbox>)
set_tests_properties(capi_c PROPERTIES TIMEOUT 300)

korvani_add_test(NAME capi
  SOURCES edge_test.cpp
  INCLUDES ${PROJECT_SOURCE_DIR}/capi/src
  LIBRARIES korvani_c_objects)

add_test(NAME capi_symbols
  COMMAND ${CMAKE_COMMAND} -DLIBRARY=$<TARGET_FILE:korvani_c> -DNM=${CMAKE_NM}
          -DEXPECTED=${PROJECT_SOURCE_DIR}/capi/korvani_c.symbols
          -P ${CMAKE_CURRENT_LIST_DIR}/check_symbols.cmake)
