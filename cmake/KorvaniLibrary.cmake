include(GNUInstallDirs)

# korvani_add_library(<target> EXPORT_NAME <name> SOURCES <file>...)
# One layer of the installed library, korvani::<name>. Its symbols are hidden unless marked
# KORVANI_EXPORT; consumers inherit C++20 (the public headers use concepts and <compare>). An
# installed shared layer finds the layers below it beside itself, wherever the prefix is.
# Include directories and dependencies are declared beside each call.
function(korvani_add_library target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "EXPORT_NAME" "SOURCES")
  add_library(${target} ${arg_SOURCES})
  add_library(korvani::${arg_EXPORT_NAME} ALIAS ${target})
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
