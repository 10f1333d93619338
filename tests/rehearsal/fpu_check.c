/*
 * Run inside the rehearsal box: do its processes keep their floating-point and vector registers
 * while the rehearsal kernel switches between them? Two processes of four threads each load
 * their own pattern into every vector register the CPU has (AVX-512 zmm0-31 and k1-k7, or AVX
 * ymm0-15, or SSE xmm0-15), the x87 stack and MXCSR, then give the CPU up thousands of times
 * in a row with sched_yield, never touching a register in between, and compare. Threads of one
 * process share one host process, so every switch between them saves one thread's registers
 * and loads another's through the kernel's ptrace calls. Exit 0 when every byte came back.
 */
#define _GNU_SOURCE
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

enum { kThreads = 4, kRounds = 2000, kVectorBytes = 32 * 64, kMaskBytes = 8 * 2 };

typedef struct {
    unsigned char vector[kVectorBytes]; /* zmm0-31, ymm0-15 or xmm0-15, packed */
    uint16_t mask[8];                   /* k0 (never loaded) .. k7 */
    double x87[8];
    uint32_t mxcsr;
} Registers;

/* Load from %[in], give the CPU up %[n] times, store to %[out]. x87 and MXCSR around the loop. */
#define YIELD_LOOP                                                                                \
    "ldmxcsr %c[mx](%[in])\n\t"                                                                   \
    ".irp i,0,1,2,3,4,5,6,7\n\t fldl %c[fp]+\\i*8(%[in])\n\t .endr\n\t"                            \
    "1: mov $24, %%eax\n\t syscall\n\t dec %[n]\n\t jnz 1b\n\t"                                    \
    ".irp i,7,6,5,4,3,2,1,0\n\t fstpl %c[fp]+\\i*8(%[out])\n\t .endr\n\t"                          \
    "stmxcsr %c[mx](%[out])\n\t"
#define OPERANDS                                                                                  \
    : [n] "+r"(rounds)                                                                            \
    : [in] "r"(in), [out] "r"(out), [fp] "i"(offsetof(Registers, x87)),                           \
      [mx] "i"(offsetof(Registers, mxcsr)), [k] "i"(offsetof(Registers, mask))                    \
    : "rax", "rcx", "r11", "memory", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6",      \
      "xmm7", "xmm8", "xmm9", "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15"
#define LOW16 "0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15"

static void YieldSse(const Registers *in, Registers *out, long rounds)
{
    __asm__ volatile(".irp r," LOW16 "\n\t movdqu \\r*16(%[in]), %%xmm\\r\n\t .endr\n\t" YIELD_LOOP
                     ".irp r," LOW16 "\n\t movdqu %%xmm\\r, \\r*16(%[out])\n\t .endr\n\t" OPERANDS);
}

__attribute__((target("avx"))) static void YieldAvx(const Registers *in, Registers *out, long rounds)
{
    __asm__ volatile(".irp r," LOW16 "\n\t vmovdqu \\r*32(%[in]), %%ymm\\r\n\t .endr\n\t" YIELD_LOOP
                     ".irp r," LOW16 "\n\t vmovdqu %%ymm\\r, \\r*32(%[out])\n\t .endr\n\t"
                     "vzeroupper\n\t" OPERANDS);
}

#define ALL32 LOW16 ",16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31"
__attribute__((target("avx512f"))) static void YieldAvx512(const Registers *in, Registers *out,
                                                            long rounds)
{
    __asm__ volatile(".irp r," ALL32 "\n\t vmovdqu64 \\r*64(%[in]), %%zmm\\r\n\t .endr\n\t"
                     ".irp r,1,2,3,4,5,6,7\n\t kmovw %c[k]+\\r*2(%[in]), %%k\\r\n\t .endr\n\t"
                     YIELD_LOOP
                     ".irp r," ALL32 "\n\t vmovdqu64 %%zmm\\r, \\r*64(%[out])\n\t .endr\n\t"
                     ".irp r,1,2,3,4,5,6,7\n\t kmovw %%k\\r, %c[k]+\\r*2(%[out])\n\t .endr\n\t"
                     "vzeroupper\n\t" OPERANDS, "xmm16", "xmm17", "xmm18", "xmm19", "xmm20",
                     "xmm21", "xmm22", "xmm23", "xmm24", "xmm25", "xmm26", "xmm27", "xmm28",
                     "xmm29", "xmm30", "xmm31", "k1", "k2", "k3", "k4", "k5", "k6", "k7");
}

static int kind; /* 2 AVX-512, 1 AVX, 0 SSE */
static const char *const kKindName[] = {"SSE xmm0-15", "AVX ymm0-15", "AVX-512 zmm0-31 and k1-k7"};

static void *Worker(void *arg)
{
    static __thread Registers in, out;
    unsigned seed = (unsigned)(uintptr_t)arg;
    for (size_t i = 0; i < sizeof in.vector; i++) in.vector[i] = (unsigned char)(seed * 131 + i * 7);
    for (int i = 0; i < 8; i++) {
        in.mask[i] = (uint16_t)(i == 0 ? 0 : seed * 977 + i);
        in.x87[i] = seed + i / 8.0 + 1e-9 * i;
    }
    in.mxcsr = 0x1f80 | (seed % 4) << 13; /* all exceptions masked, a rounding mode per thread */
    memset(&out, 0, sizeof out);
    if (kind == 2) YieldAvx512(&in, &out, kRounds);
    else if (kind == 1) YieldAvx(&in, &out, kRounds);
    else YieldSse(&in, &out, kRounds);
    size_t vectorBytes = kind == 2 ? kVectorBytes : kind == 1 ? 16 * 32 : 16 * 16;
    int kept = memcmp(in.vector, out.vector, vectorBytes) == 0 &&
               (kind < 2 || memcmp(in.mask, out.mask, kMaskBytes) == 0) &&
               memcmp(in.x87, out.x87, sizeof in.x87) == 0 && in.mxcsr == out.mxcsr;
    if (!kept) printf("fpu-check: thread %u of process %d lost its registers\n", seed, (int)getpid());
    return (void *)(uintptr_t)kept;
}

static int RunThreads(unsigned firstSeed)
{
    pthread_t threads[kThreads];
    int allKept = 1;
    for (int t = 0; t < kThreads; t++)
        if (pthread_create(&threads[t], NULL, Worker, (void *)(uintptr_t)(firstSeed + t)) != 0)
            return 0;
    for (int t = 0; t < kThreads; t++) {
        void *kept;
        pthread_join(threads[t], &kept);
        allKept &= kept != NULL;
    }
    return allKept;
}

int main(void)
{
    __builtin_cpu_init();
    kind = __builtin_cpu_supports("avx512f") ? 2 : __builtin_cpu_supports("avx") ? 1 : 0;
    fflush(stdout);
    pid_t child = fork();
    if (child < 0) return 2;
    int kept = RunThreads(child == 0 ? 1 : 1 + kThreads);
    if (child == 0) _exit(kept ? 0 : 1);
    int status;
    kept &= waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    printf("fpu-check: 2 processes x %d threads x %d yields, %s, x87 and MXCSR: %s\n", kThreads,
           kRounds, kKindName[kind], kept ? "every register kept" : "REGISTERS LOST");
    return kept ? 0 : 1;
}
