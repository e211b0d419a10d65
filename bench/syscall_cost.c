/* What the system calls of an exchange cost on their own, without any waiting: the read that
 * finds no late bytes on a pseudo-terminal, arming and disarming a timerfd, a wait that does not
 * block, and a clock read (no system call: the vDSO).
 *
 *   syscall_cost [COUNT]
 *
 * Prints the thread CPU time per call, in nanoseconds, the median of five runs of COUNT calls. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

static double cpuNow(void) {
    struct timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static int byValue(const void* a, const void* b) {
    const double x = *(const double*)a, y = *(const double*)b;
    return (x > y) - (x < y);
}

enum { kRuns = 5 };

int main(int argc, char** argv) {
    const long count = argc > 1 ? atol(argv[1]) : 200000;
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return 1;
    const int pty = open(ptsname(master), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const int tfd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK);
    const int ep = epoll_create1(0);
    struct epoll_event ev = {.events = EPOLLIN};
    if (pty < 0 || tfd < 0 || ep < 0 || epoll_ctl(ep, EPOLL_CTL_ADD, pty, &ev) != 0) return 1;
    const struct itimerspec on = {{0, 22000000}, {0, 22000000}}, off = {{0, 0}, {0, 0}};
    char buf[4096];
    struct epoll_event ready[8];
    struct timespec ts;
    const char* names[] = {"read finding nothing on a pty", "timerfd arm + disarm",
                           "epoll_wait, timeout 0", "clock_gettime (vDSO)"};
    for (int what = 0; what < 4; ++what) {
        double ns[kRuns];
        for (int run = 0; run < kRuns; ++run) {
            const double t0 = cpuNow();
            for (long i = 0; i < count; ++i) {
                if (what == 0) {
                    if (read(pty, buf, sizeof buf) > 0) return 1;
                } else if (what == 1) {
                    timerfd_settime(tfd, 0, &on, NULL);
                    timerfd_settime(tfd, 0, &off, NULL);
                } else if (what == 2) {
                    epoll_wait(ep, ready, 8, 0);
                } else {
                    clock_gettime(CLOCK_MONOTONIC, &ts);
                }
            }
            ns[run] = (cpuNow() - t0) / (double)count * 1e9;
        }
        qsort(ns, kRuns, sizeof ns[0], byValue);
        printf("%-32s %6.0f ns\n", names[what], ns[kRuns / 2]);
    }
    return 0;
}
