// A shared library without the image library's entries, for the loader's
// missing-entry test.
extern "C" __attribute__((visibility("default"))) int velloraEmptyModuleMarker() {
    return 0;
}
