#pragma once

// Symbols are hidden by default; what a host may call is marked with KORVANI_EXPORT.
#if defined(_WIN32)
#define KORVANI_EXPORT
#else
#define KORVANI_EXPORT __attribute__((visibility("default")))
#endif
