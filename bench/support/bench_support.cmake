# Pieces shared by the benchmarks and their tests. Included from bench/ and from tests/bench/;
# whichever comes first defines the target.
include_guard(GLOBAL)

add_library(korvani_bench_support STATIC ${CMAKE_CURRENT_LIST_DIR}/json_document.cpp
            ${CMAKE_CURRENT_LIST_DIR}/latency.cpp)
target_include_directories(korvani_bench_support PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(korvani_bench_support PUBLIC korvani::payment_plugin)
korvani_target_warnings(korvani_bench_support)
