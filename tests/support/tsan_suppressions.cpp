// tsan_suppressions.cpp: ThreadSanitizer suppressions built into a test
// executable (add this file to its SOURCES; it does nothing without TSan).
//
// glibc serialises tzset, locale data and iconv module loading with its own
// internal locks, which ThreadSanitizer does not see; concurrent mktime (one
// per ZIP entry in libarchive), iconv_open/iconv_close and newlocale calls
// are then reported as races inside glibc. Only those glibc functions are
// listed, so races in our code still show. The names are matched against
// symbolized frames: the runtime needs its llvm-symbolizer (llvm-19).

extern "C" const char* __tsan_default_suppressions();

extern "C" const char* __tsan_default_suppressions() {
  return "race:tzset_internal\n"
         "race:__tz_convert\n"
         "race:_dl_close_worker\n"
         "race:_dl_open_worker\n"
         "race:__gconv_close_transform\n"
         "race:__gconv_open\n"
         "race:_nl_cleanup_ctype\n"
         "race:_nl_unload_locale\n";
}
