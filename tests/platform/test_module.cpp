// A small library that module_test.cpp loads by file name. It is built
// twice: once into the folder the tests name as the program's own
// directory, once into a folder only the dynamic loader's search reaches;
// OvtProbeCopy tells which copy was loaded.
extern "C" {

__attribute__((visibility("default"))) const char* OvtProbeCopy() { return OVT_TEST_MODULE_COPY; }

__attribute__((visibility("default"))) int OvtProbeAdd(int a, int b) { return a + b; }

}
