#pragma once

// Symbols are hidden by default; what a host may call is marked with KORVANI_EXPORT.
#define KORVANI_EXPORT __attribute__((visibility("default")))
