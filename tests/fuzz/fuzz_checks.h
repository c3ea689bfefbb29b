// Shared by the fuzz targets: a failed property ends the run with a report.
#pragma once

#include <cstdio>
#include <cstdlib>

#define KIV_FUZZ_CHECK(condition)                                                      \
  do {                                                                                 \
    if (!(condition)) {                                                                \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)
