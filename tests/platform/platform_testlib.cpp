// Loaded by the platform tests through LoadLibraryFile.
extern "C" __attribute__((visibility("default"))) int tavrinPlatformTestValue() {
  return 42;
}
