// Linked into every fuzzer: the libraries under test are built with recoverable
// undefined-behaviour checks, which only print a report and carry on. A fuzzer
// must stop at the first report, keep the input that caused it and fail,
// whether it is started by scripts/run-fuzz or by hand.

extern "C" const char* __ubsan_default_options()
{
    return "halt_on_error=1:print_stacktrace=1:silence_unsigned_overflow=1";
}

extern "C" const char* __asan_default_options()
{
    return "abort_on_error=0:detect_leaks=1";
}
