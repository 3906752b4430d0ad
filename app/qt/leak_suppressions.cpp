// Leaks the leak checker of the sanitizer build is to ignore: fontconfig keeps its
// configuration for the life of the process on purpose and never frees it.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
