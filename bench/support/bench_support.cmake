# Pieces shared by the benchmarks and their tests: the payment fixture, the bare libcurl client
# that is the network benchmark's floor, the latency relay, JSON documents and latency
# statistics. Included from bench/ and from tests/bench/; whichever comes first defines the
# target.
include_guard(GLOBAL)

find_package(OpenSSL 3 REQUIRED)

add_library(korvani_bench_support STATIC
  ${CMAKE_CURRENT_LIST_DIR}/payment_fixture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/bare_client.cpp
  ${CMAKE_CURRENT_LIST_DIR}/json_document.cpp
  ${CMAKE_CURRENT_LIST_DIR}/latency.cpp
  ${CMAKE_CURRENT_LIST_DIR}/latency_relay.cpp)
target_include_directories(korvani_bench_support PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(korvani_bench_support PUBLIC korvani::payment_plugin Threads::Threads
                      PRIVATE CURL::libcurl OpenSSL::Crypto)
korvani_target_warnings(korvani_bench_support)
