// What the sanitizers are told about Qt, which is not built with them: the
// caches Qt and fontconfig keep for the life of the process (LeakSanitizer)
// and the synchronisation inside Qt's own thread pool, invisible to
// ThreadSanitizer. Only Qt's and fontconfig's libraries are named. The
// runtimes read these at start, so no environment has to carry them.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libQt6Core.so\n"
         "leak:libQt6Gui.so\n"
         "leak:libQt6Widgets.so\n"
         "leak:libQt6DBus.so\n"
         "leak:libqoffscreen.so\n"
         "leak:libfontconfig.so\n";
}

extern "C" const char* __tsan_default_suppressions() {
  return "race:libQt6Core.so\n"
         "race:libQt6Gui.so\n"
         "race:libQt6Widgets.so\n"
         "race:libqoffscreen.so\n"
         "race:libfontconfig.so\n";
}
