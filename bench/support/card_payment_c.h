#ifndef KORVANI_BENCH_CARD_PAYMENT_C_H
#define KORVANI_BENCH_CARD_PAYMENT_C_H

// The benchmarks' card payment as a C host builds it through the C API, from the texts of
// card_payment_texts.h. C and C++.

#include "korvani/korvani.h"

#ifdef __cplusplus
extern "C" {
#endif

// A configuration paying at `base_url` with every member the C++ fixture sets, the records built
// and the library's own SHA-256 digest as the hook; NULL when the library refused any of it.
// Release it with korvani_configuration_release.
korvani_configuration_t* korvani_bench_configuration(const char* base_url);

// A store answering the fixture's payer choices; no user data, nothing to free.
korvani_store_callbacks korvani_bench_store(void);

#ifdef __cplusplus
}
#endif

#endif
