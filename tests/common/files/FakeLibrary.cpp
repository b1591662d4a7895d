// A library for the loader's tests: says which copy it is.
extern "C" __attribute__((visibility("default"))) char korva_test_library_id() {
    return FAKE_LIBRARY_ID;
}
#ifdef FAKE_LIBRARY_EXTRA
extern "C" __attribute__((visibility("default"))) int korva_test_library_extra() {
    return 1;
}
#endif
