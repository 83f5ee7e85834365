// load_only [LIBRARY]: loads LIBRARY (with everything it needs) and ends;
// without one, only starts. bench/small_compare.py runs it to show what
// loading the importer plug-in costs before any archive is read.
#include <dlfcn.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc > 1 && dlopen(argv[1], RTLD_NOW | RTLD_LOCAL) == nullptr) {
    std::fprintf(stderr, "load_only: %s\n", dlerror());
    return 1;
  }
  return 0;
}
