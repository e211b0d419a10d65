/* The fastest board there can be: a pseudo-terminal master that answers every command line at
 * once, so that what a benchmark measures is the client's own cost and not the board's.
 *
 *   fast_responder
 *
 * Prints the slave's path and a newline on stdout, then answers each CR it reads with
 * "OK 201\r\n>" in one write, until it is killed. It keeps the slave open itself, so that clients
 * can come and go without the master seeing a hang-up. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

static int fail(const char* what) {
    fprintf(stderr, "fast_responder: %s: %s\n", what, strerror(errno));
    return 1;
}

int main(void) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return fail("posix_openpt");
    char path[128];
    if (ptsname_r(master, path, sizeof path) != 0) return fail("ptsname_r");
    const int slave = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) return fail(path);
    struct termios t;
    if (tcgetattr(slave, &t) != 0) return fail("tcgetattr");
    cfmakeraw(&t);
    if (tcsetattr(slave, TCSANOW, &t) != 0) return fail("tcsetattr");
    printf("%s\n", path);
    fflush(stdout);

    static const char reply[] = "OK 201\r\n>";
    char in[256];
    char out[sizeof in * (sizeof reply - 1)];
    for (;;) {
        /* A blocking read: the least a board can do is sleep until a line comes. */
        const ssize_t n = read(master, in, sizeof in);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return fail("read");
        size_t len = 0;
        for (ssize_t i = 0; i < n; ++i) {
            if (in[i] != '\r') continue;
            memcpy(out + len, reply, sizeof reply - 1);
            len += sizeof reply - 1;
        }
        if (len > 0 && write(master, out, len) != (ssize_t)len) return fail("write");
    }
}
