// ThreadSanitizer's built-in suppressions for this suite.
//
// Two listings at once share glibc state that glibc guards with its own
// internal locks, which ThreadSanitizer cannot see (glibc is not
// instrumented): the time zone that mktime re-reads in tzset (libarchive
// converts ZIP dates with it), the iconv converter cache (the name repair and
// libarchive open converters) and the data of per-thread locales (the lister
// reads names under one). The memory glibc allocates and frees for them
// looks raced without being so; only allocations made inside glibc are
// left out. Without ThreadSanitizer nothing calls this.
extern "C" const char* __tsan_default_suppressions();

extern "C" const char* __tsan_default_suppressions() { return "called_from_lib:libc.so.6\n"; }
