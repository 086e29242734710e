// Loads libzqlusb.so with dlopen; it binds to the stand-in in libzqlvi.so.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

#include "support/library.h"

namespace testbed {

namespace {
void *handle = nullptr;
int generation = 0;

[[noreturn]] void Fatal(const char *what) {
    std::fprintf(stderr, "test bed: %s: %s\n", what, dlerror());
    std::abort();
}
} // namespace

void LoadFreshLibrary() {
    if (dlopen(ZQLUSB_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD) != nullptr) {
        Fatal("the library is still loaded; its state would carry over");
    }
    handle = dlopen(ZQLUSB_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        Fatal("cannot load " ZQLUSB_LIBRARY_PATH);
    }
    ++generation;
}

void UnloadLibrary() {
    if (handle != nullptr && dlclose(handle) != 0) {
        Fatal("cannot unload the library");
    }
    handle = nullptr;
}

void *LibraryExport(const char *name) {
    return handle ? dlsym(handle, name) : nullptr;
}

int LoadGeneration() {
    return generation;
}

} // namespace testbed

namespace testbed {

// The stand-in answers every call at once: nothing to do around calls.
void BeforeCall() {}
void AfterCall(bool) {}
int DriverOpenHandles() {
    return -1;
}

} // namespace testbed
