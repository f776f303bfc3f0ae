// Linked into every fuzzer: the libraries under test are built with recoverable
// undefined-behaviour checks, which only print a report and carry on. A fuzzer
// must stop at the first report, keep the input that caused it and fail,
// whether it is started by scripts/run-fuzz or by hand.

extern "C" const char *__ubsan_default_options()
{
    return "halt_on_error=1:print_stacktrace=1:silence_unsigned_overflow=1";
}

extern "C" const char *__asan_default_options()
{
    return "abort_on_error=0:detect_leaks=1";
}

// Caches fontconfig keeps for the life of the process, once text has been
// laid out with real fonts: freed by nobody, reported at exit, not a fault of
// the code under test.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n";
}
