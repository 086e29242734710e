/* A program linked against one of zqlusb.dll's import libraries, as an
 * application is. Windows binds every import when it loads the program;
 * this checks that each import reaches the function that zqlusb.dll exports
 * under the undecorated name at the ordinal zqlusb.def gives it, and that the
 * DLL's version resource carries the project version. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "export_table.h"

static int failures = 0;

static void Fail(const char *what, const char *detail) {
    fprintf(stderr, "FAILED: %s: %s\n", what, detail);
    ++failures;
}

static void CheckExports(HMODULE dll) {
    for (int i = 0; i < zqlusb_export_count; ++i) {
        const struct zqlusb_export *e = &zqlusb_exports[i];
        zqlusb_any_function imported = *e->slot;
        zqlusb_any_function byOrdinal = (zqlusb_any_function)GetProcAddress(dll, MAKEINTRESOURCEA(e->ordinal));
        zqlusb_any_function byName = (zqlusb_any_function)GetProcAddress(dll, e->name);
        if (byName == NULL) {
            Fail(e->name, "not exported under this name");
        } else if (imported != byName) {
            Fail(e->name, "the import reaches another function than the export of this name");
        } else if (byOrdinal != byName) {
            Fail(e->name, "exported at another ordinal than zqlusb.def gives");
        }
    }
}

static const char *StringValue(void *info, const char *key) {
    char path[96];
    void *value = NULL;
    UINT length = 0;
    snprintf(path, sizeof path, "\\StringFileInfo\\040904B0\\%s", key);
    return VerQueryValueA(info, path, &value, &length) && length > 0 ? (const char *)value : "";
}

static void CheckVersion(HMODULE dll) {
    static char info[8192];
    char path[MAX_PATH];
    if (GetModuleFileNameA(dll, path, sizeof path) == 0) {
        Fail("version", "no module file name");
        return;
    }
    DWORD size = GetFileVersionInfoSizeA(path, NULL);
    if (size == 0 || size > sizeof info || !GetFileVersionInfoA(path, 0, sizeof info, info)) {
        Fail("version", "zqlusb.dll has no version resource");
        return;
    }
    VS_FIXEDFILEINFO *fixed = NULL;
    UINT length = 0;
    if (!VerQueryValueA(info, "\\", (void **)&fixed, &length) || length < sizeof *fixed) {
        Fail("version", "no fixed version record");
        return;
    }
    const DWORD high = ((DWORD)ZQLUSB_VERSION_MAJOR << 16) | ZQLUSB_VERSION_MINOR;
    const DWORD low = (DWORD)ZQLUSB_VERSION_PATCH << 16;
    if (fixed->dwFileVersionMS != high || fixed->dwFileVersionLS != low || fixed->dwProductVersionMS != high ||
        fixed->dwProductVersionLS != low) {
        Fail("version", "the fixed file or product version is not " ZQLUSB_VERSION);
    }
    const char *keys[] = {"FileVersion", "ProductVersion"};
    for (int i = 0; i < 2; ++i) {
        if (strcmp(StringValue(info, keys[i]), ZQLUSB_VERSION) != 0) {
            Fail(keys[i], StringValue(info, keys[i]));
        }
    }
    if (strcmp(StringValue(info, "OriginalFilename"), "zqlusb.dll") != 0) {
        Fail("OriginalFilename", StringValue(info, "OriginalFilename"));
    }
}

int main(void) {
    HMODULE dll = GetModuleHandleA("zqlusb.dll");
    if (dll == NULL) {
        fprintf(stderr, "FAILED: zqlusb.dll is not loaded with the program\n");
        return 1;
    }
    CheckExports(dll);
    CheckVersion(dll);
    if (failures == 0) {
        printf("zqlusb.dll %s: %d exports bound at their ordinals\n", ZQLUSB_VERSION, zqlusb_export_count);
    }
    return failures == 0 ? 0 : 1;
}
