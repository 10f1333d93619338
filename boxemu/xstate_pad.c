/*
 * Preloaded into the rehearsal kernel (Debian's user-mode Linux 6.1) and nothing else.
 *
 * That kernel runs each process of the box as a host process it traces, and writes a process's
 * floating-point and vector registers back with PTRACE_SETREGSET / NT_X86_XSTATE from a buffer of
 * the size it was built for: 2696 bytes (x87, SSE, AVX, AVX-512, PKRU). The host kernel takes
 * that request only for its whole XSAVE area; where the CPU has AMX the area is 11008 bytes, every
 * write fails with EFAULT and the rehearsal kernel panics as its first process starts.
 *
 * For such a write this reads the process's whole area from the host, lays the caller's bytes over
 * its start and writes the whole area back. Everything else passes straight through, so on a host
 * whose area is no larger than the caller's buffer nothing changes.
 *
 * What lies past the caller's bytes is the AMX tile state, and no process of the box can have
 * any: the host hands tile registers to a process only after it asks with
 * arch_prctl(ARCH_REQ_XCOMP_PERM), and a box process's arch_prctl is a system call the rehearsal
 * kernel traps and answers itself (6.1 knows only the FS and GS requests), so it never reaches the
 * host. Those bytes stay in their initial state, and are written back exactly as the host just
 * gave them.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <elf.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

/* <sys/ptrace.h> declares ptrace() with an enum first parameter; this file defines the symbol
 * itself, so it takes the two request numbers from the kernel's ABI instead. */
enum { kGetRegset = 0x4204, kSetRegset = 0x4205 };

typedef long (*PtraceFn)(int, pid_t, void *, void *);
static PtraceFn realPtrace;
static int told;

/* The whole area of the host, in static storage: the rehearsal kernel calls ptrace() on its own
 * kernel stacks, which are a few pages, and from one host thread at a time. 64 KiB is several
 * times what any x86 CPU has; a larger area is passed through and fails as before. */
static unsigned char wholeArea[64 * 1024];

__attribute__((constructor)) static void FindRealPtrace(void)
{
    realPtrace = (PtraceFn)dlsym(RTLD_NEXT, "ptrace");
}

long ptrace(int request, ...)
{
    va_list args;
    va_start(args, request);
    pid_t pid = va_arg(args, pid_t);
    void *addr = va_arg(args, void *);
    void *data = va_arg(args, void *);
    va_end(args);

    if (request == kSetRegset && (uintptr_t)addr == NT_X86_XSTATE && data != NULL) {
        const struct iovec *given = (const struct iovec *)data;
        struct iovec whole = {wholeArea, sizeof wholeArea};
        if (realPtrace(kGetRegset, pid, addr, &whole) == 0 && given->iov_len < whole.iov_len) {
            memcpy(wholeArea, given->iov_base, given->iov_len);
            if (!told) {
                /* Once, on the kernel's console, for the line that says how the rehearsal booted. */
                char line[160];
                int n = snprintf(line, sizeof line,
                                 "xstate_pad: floating-point state padded from %zu to the host's "
                                 "%zu bytes\n", given->iov_len, whole.iov_len);
                if (n > 0 && write(STDERR_FILENO, line, (size_t)n) < 0) n = 0;
                told = 1;
            }
            return realPtrace(kSetRegset, pid, addr, &whole);
        }
    }
    return realPtrace(request, pid, addr, data);
}
