// A camera library whose initialisation fails with code 7; every other
// export is missing, as in a library of the wrong version.
extern "C" {
__attribute__((visibility("default"))) int camInitCameraLib(void) {
  return 7;
}
__attribute__((visibility("default"))) int camRegCallBackDeviceChange(bool (*)(int)) {
  return 0;
}
}
