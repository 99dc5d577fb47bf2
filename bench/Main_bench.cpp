// The one main() of the micro-benchmark program; every other *_bench.cpp only registers.
#include <benchmark/benchmark.h>

BENCHMARK_MAIN();
