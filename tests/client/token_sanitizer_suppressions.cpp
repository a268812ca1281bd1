// What LeakSanitizer is told about libp11 in the tests that pull a token
// out: a slot list read while the token was gone keeps a few hundred bytes
// that libp11's own release never frees (allocated and lost inside it).
extern "C" const char* __lsan_default_suppressions() { return "leak:libp11.so\n"; }
