/* What the benchmark's native programs share: their clocks and their key=value options.
 *
 * Both take `PROGRAM MODE URI key=value ...`; options are looked up from the fourth argument on. */
#ifndef MOVRA_BENCH_NATIVE_H
#define MOVRA_BENCH_NATIVE_H

#include <string.h>
#include <time.h>

static inline double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

/* The process's CPU time, all threads, user and system. */
static inline double cpuSeconds(void) {
    struct timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

/* The value of `key=` on the command line, or `fallback`. */
static inline const char* option(int argc, char** argv, const char* key, const char* fallback) {
    size_t n = strlen(key);
    for (int i = 3; i < argc; ++i)
        if (strncmp(argv[i], key, n) == 0 && argv[i][n] == '=') return argv[i] + n + 1;
    return fallback;
}

#endif
