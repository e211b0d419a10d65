/* The floor: the least any client can do for one exchange with the board over a serial line.
 * Blocking termios write of the command line, then poll + read until ">" has arrived. No
 * parsing.
 *
 *   floor_client DEVICE BAUD SECONDS [COMMAND...]
 *
 * One exchange is the commands in turn ("PRS" when none are given), each written with a CR
 * except "@", which the board takes alone. Runs exchanges for about SECONDS and prints
 * "exchanges wall_seconds cpu_seconds" (CPU time of this process, over the exchanges only). */
#define _DEFAULT_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static double now(clockid_t clock) {
    struct timespec ts;
    clock_gettime(clock, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static speed_t speedOf(long baud) {
    switch (baud) {
        case 300:
            return B300;
        case 1200:
            return B1200;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 57600:
            return B57600;
        default:
            return B115200;
    }
}

static int fail(const char* what) {
    fprintf(stderr, "floor_client: %s: %s\n", what, strerror(errno));
    return 1;
}

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: floor_client DEVICE BAUD SECONDS [COMMAND...]\n");
        return 2;
    }
    const int fd = open(argv[1], O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return fail(argv[1]);
    struct termios t;
    if (tcgetattr(fd, &t) != 0) return fail("tcgetattr");
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speedOf(atol(argv[2])));
    cfsetospeed(&t, speedOf(atol(argv[2])));
    if (tcsetattr(fd, TCSANOW, &t) != 0) return fail("tcsetattr");
    tcflush(fd, TCIFLUSH);

    char lines[16][64];
    size_t lengths[16];
    int count = 0;
    for (int i = 4; i < argc && count < 16; ++i, ++count) {
        const int at = strcmp(argv[i], "@") == 0;
        lengths[count] =
            (size_t)snprintf(lines[count], sizeof lines[count], at ? "%s" : "%s\r", argv[i]);
    }
    if (count == 0) {
        strcpy(lines[0], "PRS\r");
        lengths[0] = 4;
        count = 1;
    }

    const double seconds = atof(argv[3]);
    const double wall0 = now(CLOCK_MONOTONIC);
    const double cpu0 = now(CLOCK_PROCESS_CPUTIME_ID);
    long exchanges = 0;
    char buf[256];
    while (now(CLOCK_MONOTONIC) - wall0 < seconds) {
        for (int c = 0; c < count; ++c) {
            if (write(fd, lines[c], lengths[c]) != (ssize_t)lengths[c]) return fail("write");
            int prompt = 0;
            while (!prompt) {
                struct pollfd p = {fd, POLLIN, 0};
                if (poll(&p, 1, 1000) <= 0) return fail("poll (no reply within a second)");
                const ssize_t n = read(fd, buf, sizeof buf);
                if (n <= 0) return fail("read");
                prompt = memchr(buf, '>', (size_t)n) != NULL;
            }
        }
        ++exchanges;
    }
    const double cpu = now(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
    const double wall = now(CLOCK_MONOTONIC) - wall0;
    printf("%ld %.6f %.6f\n", exchanges, wall, cpu);
    close(fd);
    return 0;
}
