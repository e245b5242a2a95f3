// The oracles' way of failing: a message that says which promise broke, then
// abort(), which the fuzzer and the replay driver both report as a crash with
// the input that caused it.
#ifndef VELUNOR_TESTING_FUZZ_FUZZ_CHECK_H_
#define VELUNOR_TESTING_FUZZ_FUZZ_CHECK_H_

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void fuzzCheckFailed(const char* file, int line,
                                         const char* condition,
                                         const char* format, ...)
    __attribute__((format(printf, 4, 5)));

inline void fuzzCheckFailed(const char* file, int line, const char* condition,
                            const char* format, ...) {
  std::fprintf(stderr, "\n%s:%d: oracle broken: %s\n  ", file, line,
               condition);
  va_list values;
  va_start(values, format);
  std::vfprintf(stderr, format, values);
  va_end(values);
  std::fprintf(stderr, "\n");
  std::fflush(stderr);
  std::abort();
}

// FUZZ_CHECK(condition, format, values...): the format says what was seen.
#define FUZZ_CHECK(condition, ...)                                        \
  do {                                                                    \
    if (!(condition)) {                                                   \
      fuzzCheckFailed(__FILE__, __LINE__, #condition, __VA_ARGS__);       \
    }                                                                     \
  } while (0)

#endif  // VELUNOR_TESTING_FUZZ_FUZZ_CHECK_H_
