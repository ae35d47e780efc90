// A link library that lacks its main entry: the dispatcher must refuse to
// run with it.
#include "Telquin.h"

extern "C" {

__attribute__((visibility("default"))) int ReqStop(void) { return 1; }

__attribute__((visibility("default"))) int SetBmpFile(const char*, int, const char*) {
  return 1;
}

}  // extern "C"
