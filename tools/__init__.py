"""Developer tools shared by the tests, the benchmarks and the fuzzing scripts; not installed."""
