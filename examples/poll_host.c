/* A host with its own poll() loop that embeds vantrel's loop and stays responsive while a
 * command waits for the board.
 *
 *   poll_host DEVICE [BAUD]
 *
 * The host's own work is a timer that ticks every 5 ms. The control is given the host's loop as
 * its message pump, so the host's timer keeps ticking during the command's wait. Exit status 0
 * when the command succeeded and the host ticked during the wait. */
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include "vantrel/vantrel.h"

struct host {
    int timer_fd;
    long ticks;
};

/* One pass of the host's loop: block until the host's timer or vantrel has something, serve it. */
static void host_pump(void* user) {
    struct host* h = user;
    struct pollfd fds[2] = {{h->timer_fd, POLLIN, 0}, {vantrel_loop_fd(), POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) return;
    if (fds[0].revents & POLLIN) {
        unsigned long long expirations;
        if (read(h->timer_fd, &expirations, sizeof expirations) == sizeof expirations)
            h->ticks += (long)expirations;
    }
    if (fds[1].revents & POLLIN) {
        vantrel_error error;
        if (vantrel_dispatch_pending(&error) != 0)
            fprintf(stderr, "dispatch failed: %s\n", error.text);
    }
}

static double now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

static int invoke(vantrel_ctrl* ctrl, const char* name, uint16_t kind, vantrel_variant* args,
                  size_t nargs, vantrel_variant* result) {
    int32_t id;
    vantrel_error error;
    if (vantrel_member_id(name, &id) != 0) return -1;
    if (vantrel_invoke(ctrl, id, kind, args, nargs, result, &error) == 0) return 0;
    fprintf(stderr, "%s failed: error %d: %s\n", name, error.number, error.text);
    return -1;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s DEVICE [BAUD]\n", argv[0]);
        return 2;
    }
    struct host h = {timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC), 0};
    struct itimerspec every5ms = {{0, 5000000}, {0, 5000000}};
    if (h.timer_fd < 0 || timerfd_settime(h.timer_fd, 0, &every5ms, NULL) != 0) return 3;

    vantrel_error error;
    vantrel_map_port(1, argv[1]);
    vantrel_ctrl* ctrl = vantrel_create(&error);
    if (!ctrl) return 3;
    vantrel_set_message_pump(ctrl, host_pump, &h);

    vantrel_variant arg, result;
    vantrel_variant_init(&arg);
    vantrel_variant_init(&result);
    int status = 3;
    vantrel_variant_set_long(&arg, argc > 2 ? atoi(argv[2]) : 1200);
    if (invoke(ctrl, "Bauds", VANTREL_PROPERTYPUT, &arg, 1, NULL) != 0) goto done;
    if (invoke(ctrl, "OpenPort", VANTREL_METHOD, NULL, 0, &result) != 0) goto done;
    if (!result.u.integer) {
        fprintf(stderr, "the port could not be opened\n");
        status = 1;
        goto done;
    }

    vantrel_variant_set_string(&arg, "PRA");
    long before = h.ticks;
    double start = now_ms();
    if (invoke(ctrl, "Command", VANTREL_METHOD, &arg, 1, &result) != 0) goto done;
    double waited = now_ms() - start;
    long ticks = h.ticks - before;
    printf("Command PRA: %s after %.1f ms; the host's 5 ms timer ticked %ld times meanwhile\n",
           result.u.integer ? "True" : "False", waited, ticks);
    status = result.u.integer && ticks > 0 ? 0 : 1;

done:
    vantrel_variant_clear(&arg);
    vantrel_variant_clear(&result);
    vantrel_release(ctrl);
    close(h.timer_fd);
    return status;
}
