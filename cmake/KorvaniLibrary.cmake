include(GNUInstallDirs)

# korvani_add_library(<target> EXPORT_NAME <name> SOURCES <file>...)
# One layer of the installed library, korvani::<name>. Its symbols are hidden unless marked
# KORVANI_EXPORT; consumers inherit C++20 (the public headers use concepts and <compare>). An
# installed shared layer finds the layers below it beside itself, wherever the prefix is. Its
# public headers are the calling folder's include/ (installed into the one include tree), its
# private ones that folder's src/, when there is one. Dependencies are declared beside each call.
function(korvani_add_library target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "EXPORT_NAME" "SOURCES")
  add_library(${target} ${arg_SOURCES})
  add_library(korvani::${arg_EXPORT_NAME} ALIAS ${target})
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/src)
    target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src)
  endif()
  target_compile_features(${target} PUBLIC cxx_std_20)
  set_target_properties(${target} PROPERTIES
    EXPORT_NAME ${arg_EXPORT_NAME}
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    POSITION_INDEPENDENT_CODE ON
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    INSTALL_RPATH "$ORIGIN")
  korvani_target_warnings(${target})
endfunction()
