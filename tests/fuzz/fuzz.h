// What every fuzz target shares: a finding aborts with the rule it broke.
#ifndef FLASHTOOL_TESTS_FUZZ_FUZZ_H
#define FLASHTOOL_TESTS_FUZZ_FUZZ_H

#include <cstdio>
#include <cstdlib>
#include <cstring>

#define FUZZ_CHECK(condition)                                                 \
  do {                                                                        \
    if (!(condition)) {                                                       \
      fprintf(stderr, "%s:%d: broken: %s\n", __FILE__, __LINE__, #condition); \
      abort();                                                                \
    }                                                                         \
  } while (0)

// Length of a text that must end within `size` bytes.
inline size_t TextWithin(const char *text, size_t size) {
  const void *end = memchr(text, '\0', size);
  FUZZ_CHECK(end != nullptr);
  return (size_t)((const char *)end - text);
}

#endif
