/* Preloaded into a test process to make it look like a system with the
   WebKitGTK runtime but without the -dev packages: those packages alone
   provide the unversioned library names ("libwebkit2gtk-4.1.so", ...), so
   opening any of them by that name fails here. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <string.h>

static int isUnversionedDevName (const char* name)
{
    static const char* const names[] = {
        "libwebkit2gtk-4.1.so", "libjavascriptcoregtk-4.1.so", "libsoup-3.0.so",
        "libwebkit2gtk-4.0.so", "libjavascriptcoregtk-4.0.so", "libsoup-2.4.so",
        "libgtk-3.so", "libglib-2.0.so", 0
    };

    if (name == 0)
        return 0;

    const char* base = strrchr (name, '/');
    base = base != 0 ? base + 1 : name;

    for (int i = 0; names[i] != 0; ++i)
        if (strcmp (base, names[i]) == 0)
            return 1;

    return 0;
}

void* dlopen (const char* file, int mode)
{
    static void* (*realDlopen) (const char*, int) = 0;

    if (realDlopen == 0)
        realDlopen = (void* (*) (const char*, int)) dlsym (RTLD_NEXT, "dlopen");

    return isUnversionedDevName (file) ? 0 : realDlopen (file, mode);
}
