#include "support/MessageThread.h"

#include <dlfcn.h>

// Like any desktop host, keep X errors from ending the process: Xlib's default
// handler exits on the first one, and a plug-in's JUCE leaves error handling
// to its host.
static void ignoreXErrorsLikeAHost()
{
    using Handler = int (*) (void*, void*);

    if (auto* x11 = dlopen ("libX11.so.6", RTLD_NOW | RTLD_GLOBAL))
        if (auto* setHandler = reinterpret_cast<Handler (*) (Handler)> (dlsym (x11, "XSetErrorHandler")))
            setHandler ([] (void*, void*) { return 0; });
}

int main (int argc, char** argv)
{
    ignoreXErrorsLikeAHost();
    return runTestsWithMessageLoop (argc, argv);
}
