/* Preloaded into a test process to make the system's random source fail, as
   it can on a broken or locked-down system: getrandom reports an I/O error. */
#define _GNU_SOURCE
#include <errno.h>
#include <sys/types.h>

ssize_t getrandom (void* buffer, size_t length, unsigned int flags)
{
    (void) buffer; (void) length; (void) flags;
    errno = EIO;
    return -1;
}
