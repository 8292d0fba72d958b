#include "EditorHarness.h"

extern "C" int juce_gtkWebkitMain (int argc, const char* const* argv);

// The web view runs WebKit in a child process. A standalone application starts
// that child by running its own executable again with this flag; the test
// program does the same, so it declares itself a standalone application (which
// also gives it JUCE's own X error handling, as the shipped application has).
int main (int argc, char** argv)
{
    if (argc > 1 && juce::String (argv[1]) == "--juce-gtkwebkitfork-child")
        return juce_gtkWebkitMain (argc, argv);

    juce::JUCEApplicationBase::createInstance = [] () -> juce::JUCEApplicationBase* { return nullptr; };

    ::testing::AddGlobalTestEnvironment (new PageServerEnvironment());
    return runTestsWithMessageLoop (argc, argv);
}
