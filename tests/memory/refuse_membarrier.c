/* Preloaded into a test run: lets the process register for the expedited
 * private membarrier and use it LUAMODS_MEMBARRIER_ALLOW times (default 1,
 * the check made when the library chooses its mode), then refuses it, as a
 * seccomp filter installed after start-up would.  Tests read the number of
 * refusals through luamods_membarrier_refusals(). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <linux/membarrier.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/syscall.h>

static unsigned long calls, refusals;

unsigned long luamods_membarrier_refusals(void)
{
    return __atomic_load_n(&refusals, __ATOMIC_RELAXED);
}

long syscall(long number, ...)
{
    static long (*real)(long, ...);
    va_list ap;
    long a[6];
    va_start(ap, number);
    for (int i = 0; i < 6; ++i)
        a[i] = va_arg(ap, long);
    va_end(ap);
    if (number == SYS_membarrier && a[0] == MEMBARRIER_CMD_PRIVATE_EXPEDITED) {
        const char* allow = getenv("LUAMODS_MEMBARRIER_ALLOW");
        if (__atomic_fetch_add(&calls, 1, __ATOMIC_RELAXED) >=
            (allow ? strtoul(allow, 0, 10) : 1)) {
            __atomic_add_fetch(&refusals, 1, __ATOMIC_RELAXED);
            errno = EPERM;
            return -1;
        }
    }
    if (!real)
        real = (long (*)(long, ...))dlsym(RTLD_NEXT, "syscall");
    return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
