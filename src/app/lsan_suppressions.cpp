// Allocations that fontconfig keeps for the life of the process (its configuration and font
// caches, reached from Qt's font database). The leak checker of a sanitized build is told about
// them here, so it keeps watching everything else: our own code is not named.
extern "C" __attribute__((used)) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n"
         "leak:libdbus-1.so\n";
}
