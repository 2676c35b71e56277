/* Whether the threads of an i386 program keep their own TLS descriptors, as
 * the kernel keeps them (tools/wine32.sh runs it under qemu-i386):
 *
 *   gcc -m32 -pthread tools/wine32-tls-probe.c -o tls-probe && qemu-i386 ./tls-probe
 *
 * The main thread points a TLS descriptor at its data and loads %fs with it;
 * a second thread points the same descriptor (a TLS slot of its own, on a
 * kernel) at other data. Then the main thread reloads %fs: on a kernel it
 * still reads its own data; where the threads share one table of descriptors
 * (qemu-i386 7.2) it reads the second thread's. Wine reloads its segment
 * registers on its own transitions, so a thread of Wine there can take
 * another thread's TEB and thread data.
 *
 * Prints one line; exit status 0 when each thread keeps its own, 1 when they
 * share, 2 when the probe cannot run. */
#include <asm/ldt.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

static unsigned slot = (unsigned)-1; /* the kernel picks a free one first */
static int mainData = 1, otherData = 2;
static volatile int phase = 0;

/* Points the TLS slot at data and loads %fs with it; -1 on failure. */
static int PointFs(int* data) {
    struct user_desc desc = {0};
    desc.entry_number = slot;
    desc.base_addr = (unsigned long)data;
    desc.limit = 0xfffff;
    desc.seg_32bit = 1;
    desc.limit_in_pages = 1;
    desc.useable = 1;
    if (syscall(SYS_set_thread_area, &desc) != 0) return -1;
    slot = desc.entry_number;
    const unsigned short selector = (unsigned short)(slot << 3 | 3);
    __asm__ volatile("movw %0, %%fs" : : "r"(selector));
    return 0;
}

/* Loads %fs again from its descriptor and reads what it points at. */
static int ReloadAndRead(void) {
    unsigned short selector;
    int value;
    __asm__ volatile("movw %%fs, %0\n\tmovw %0, %%fs" : "=r"(selector));
    __asm__ volatile("movl %%fs:0, %0" : "=r"(value));
    return value;
}

static void* Other(void* unused) {
    (void)unused;
    phase = PointFs(&otherData) == 0 ? 1 : -1;
    while (phase != 2)
        ;
    return 0;
}

int main(void) {
    pthread_t thread;
    if (PointFs(&mainData) != 0 || pthread_create(&thread, 0, Other, 0) != 0) {
        puts("tls probe: cannot set a TLS descriptor or start a thread");
        return 2;
    }
    while (phase == 0)
        ;
    const int seen = phase == 1 ? ReloadAndRead() : 0;
    phase = 2;
    pthread_join(thread, 0);
    if (seen == mainData) {
        puts("tls probe: each thread keeps its own TLS descriptors");
        return 0;
    }
    if (seen == otherData) {
        puts("tls probe: the threads share their TLS descriptors (another thread's data after "
             "reloading %fs)");
        return 1;
    }
    puts("tls probe: the second thread could not set its TLS descriptor");
    return 2;
}
