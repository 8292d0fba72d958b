#include "MessageThread.h"

int main (int argc, char** argv)
{
    return runTestsWithMessageLoop (argc, argv);
}
