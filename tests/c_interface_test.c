/* The C interface's edges, from C: what a NewData callback may do (call members, assign the two
 * fields, release the control), by-reference arguments, a device that goes away, and calls that
 * must return their error instead of ending the program.
 *
 *   c_interface_test DEVICE      (DEVICE: a simulated board, see examples/run_with_sim.sh) */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include "vantrel/component.h"
#include "vantrel/vantrel.h"

static int failures;

#define CHECK(cond)                                                            \
    do {                                                                       \
        if (!(cond)) {                                                         \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                        \
        }                                                                      \
    } while (0)

static vantrel_error error;

/* Calls member `name`; returns what vantrel_invoke returns. */
static int call(vantrel_ctrl* ctrl, const char* name, uint16_t kind, vantrel_variant* args,
                size_t nargs, vantrel_variant* result) {
    int32_t id = 0;
    if (vantrel_member_id(name, &id) != 0) return -2;
    return vantrel_invoke(ctrl, id, kind, args, nargs, result, &error);
}

static int command(vantrel_ctrl* ctrl, const char* text) {
    vantrel_variant s, r;
    vantrel_variant_init(&s);
    vantrel_variant_init(&r);
    vantrel_variant_set_string(&s, text);
    const int rc = call(ctrl, "Command", VANTREL_METHOD, &s, 1, &r);
    vantrel_variant_clear(&s);
    return rc == 0 ? r.u.integer : -2;
}

static int setLong(vantrel_ctrl* ctrl, const char* property, int32_t value) {
    vantrel_variant v;
    vantrel_variant_init(&v);
    vantrel_variant_set_long(&v, value);
    return call(ctrl, property, VANTREL_PROPERTYPUT, &v, 1, NULL);
}

/* ErrorString, ErrorNr and Value as the control reports them. */
static char errorText[256];
static int errorNr;
static int32_t value;
static void readOuts(vantrel_ctrl* ctrl) {
    vantrel_variant r;
    vantrel_variant_init(&r);
    errorText[0] = 0;
    if (call(ctrl, "ErrorString", VANTREL_METHOD, NULL, 0, &r) == 0)
        snprintf(errorText, sizeof errorText, "%s", r.u.str);
    call(ctrl, "ErrorNr", VANTREL_METHOD, NULL, 0, &r);
    errorNr = r.u.integer;
    value = call(ctrl, "Value", VANTREL_METHOD, NULL, 0, &r) == 0 ? r.u.lng : -99999;
    vantrel_variant_clear(&r);
}

/* --- What a NewData callback may do ---------------------------------------------------------- */

enum Action { NOTHING, ASSIGN_THEN_PORT9, COMMAND_XYZ, COMMAND_THEN_ASSIGN, RELEASE };
struct Callback {
    vantrel_ctrl* ctrl;
    enum Action action;
    int newData;
    char seenAfterCall[256]; /* the error text's view right after the nested call */
};

static void onEvent(void* user, int32_t id, vantrel_variant* val, vantrel_variant* text) {
    struct Callback* cb = user;
    if (id != VANTREL_EVENT_NEWDATA || ++cb->newData > 1) return; /* act on the first one only */
    switch (cb->action) {
        case ASSIGN_THEN_PORT9:
            vantrel_variant_set_double(val, 7.0);
            setLong(cb->ctrl, "Port", 9);
            break;
        case COMMAND_XYZ:
        case COMMAND_THEN_ASSIGN:
            command(cb->ctrl, "XYZ");
            snprintf(cb->seenAfterCall, sizeof cb->seenAfterCall, "%s",
                     text->type == VANTREL_VT_STRING ? text->u.str : "(not text)");
            if (cb->action == COMMAND_THEN_ASSIGN) vantrel_variant_set_string(text, "mine");
            break;
        case NOTHING:
            break;
        case RELEASE:
            vantrel_release(cb->ctrl);
            CHECK(DllCanUnloadNow() == VANTREL_S_FALSE); /* freed only when the call returns */
            break;
    }
}

static vantrel_ctrl* openControl(const char* device, struct Callback* cb) {
    vantrel_map_port(1, device);
    vantrel_ctrl* ctrl = vantrel_create(&error);
    if (!ctrl) return NULL;
    cb->ctrl = ctrl;
    vantrel_set_event_callback(ctrl, onEvent, cb);
    /* 9600 baud: a 260 ms reply window, room for a loaded machine. */
    setLong(ctrl, "Bauds", 9600);
    return ctrl;
}

static void testCallbacks(const char* device) {
    vantrel_variant r;
    vantrel_variant_init(&r);
    {
        /* Port closed: Command says "Port is not operational"; the callback's assignment to
         * the value and the member it calls both stand. */
        struct Callback cb = {0};
        cb.action = ASSIGN_THEN_PORT9;
        vantrel_ctrl* ctrl = openControl(device, &cb);
        CHECK(ctrl != NULL);
        CHECK(command(ctrl, "PRA") == 0);
        readOuts(ctrl);
        CHECK(strcmp(errorText, "Port must be 1 to 8") == 0);
        CHECK(value == 7);
        vantrel_release(ctrl);
    }
    for (int assign = 0; assign < 2; ++assign) {
        /* A command inside the callback: its outcome is what the fields hold, seen live by the
         * callback; an assignment after it stands instead. */
        struct Callback cb = {0};
        cb.action = assign ? COMMAND_THEN_ASSIGN : COMMAND_XYZ;
        vantrel_ctrl* ctrl = openControl(device, &cb);
        CHECK(call(ctrl, "OpenPort", VANTREL_METHOD, NULL, 0, &r) == 0 && r.u.integer == -1);
        CHECK(command(ctrl, "PRA") == -1);
        CHECK(cb.newData == 2);
        CHECK(strcmp(cb.seenAfterCall, "Illegal command") == 0);
        readOuts(ctrl);
        CHECK(strcmp(errorText, assign ? "mine" : "Illegal command") == 0);
        CHECK(errorNr == 10);
        call(ctrl, "ClosePort", VANTREL_METHOD, NULL, 0, &r);
        vantrel_release(ctrl);
    }
    {
        /* Released inside its own callback: the call finishes, then the control is freed. */
        struct Callback cb = {0};
        cb.action = RELEASE;
        vantrel_ctrl* ctrl = openControl(device, &cb);
        CHECK(call(ctrl, "OpenPort", VANTREL_METHOD, NULL, 0, &r) == 0);
        CHECK(command(ctrl, "PRA") == -1);
        CHECK(cb.newData == 1);
        CHECK(DllCanUnloadNow() == VANTREL_S_OK);
    }
    vantrel_variant_clear(&r);
}

/* --- By-reference arguments --------------------------------------------------------------- */

static void testByReference(const char* device) {
    struct Callback cb = {0};
    vantrel_ctrl* ctrl = openControl(device, &cb);
    /* FindChip probes COM1 to COM8: only COM1 leads anywhere. */
    for (int port = 2; port <= 8; ++port) vantrel_map_port(port, "/nonexistent/vantrel-test");
    vantrel_variant arg, r;
    vantrel_variant_init(&arg);
    vantrel_variant_init(&r);
    CHECK(call(ctrl, "OpenPort", VANTREL_METHOD, NULL, 0, &r) == 0);

    /* The parameter's own type: written back (ADC10 leaves the address word of channel 3). */
    arg.type = VANTREL_VT_INTEGER;
    arg.u.integer = 3;
    CHECK(call(ctrl, "ADC10", VANTREL_METHOD, &arg, 1, &r) == 0);
    CHECK(arg.type == VANTREL_VT_INTEGER && arg.u.integer == 48);

    /* Another type goes through a temporary and comes back as passed. */
    vantrel_variant_set_double(&arg, 3.5);
    CHECK(call(ctrl, "ADC8", VANTREL_METHOD, &arg, 1, &r) == 0);
    CHECK(arg.type == VANTREL_VT_DOUBLE && arg.u.dbl == 3.5);
    vantrel_variant_set_string(&arg, "5");
    CHECK(call(ctrl, "ADC8", VANTREL_METHOD, &arg, 1, &r) == 0);
    CHECK(arg.type == VANTREL_VT_STRING && strcmp(arg.u.str, "5") == 0);
    vantrel_variant_set_double(&arg, 9600.4);
    CHECK(call(ctrl, "FindChip", VANTREL_METHOD, &arg, 1, &r) == 0);
    CHECK(arg.type == VANTREL_VT_DOUBLE && arg.u.dbl == 9600.4);

    vantrel_variant_clear(&arg);
    vantrel_variant_clear(&r);
    vantrel_release(ctrl);
}

/* --- A device that goes away, and a failed call's by-reference argument -------------------- */

static void testHangUp(void) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    CHECK(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    struct Callback cb = {0};
    vantrel_ctrl* ctrl = openControl(ptsname(master), &cb);
    vantrel_variant arg, r;
    vantrel_variant_init(&arg);
    vantrel_variant_init(&r);
    CHECK(call(ctrl, "OpenPort", VANTREL_METHOD, NULL, 0, &r) == 0 && r.u.integer == -1);
    char path[128];
    snprintf(path, sizeof path, "write %s: the device has gone away", ptsname(master));
    close(master);

    /* The write fails naming the device; the framed text is written back all the same. */
    vantrel_variant_set_string(&arg, "PRS");
    CHECK(call(ctrl, "Command", VANTREL_METHOD, &arg, 1, &r) == -1);
    CHECK(error.number == 8020);
    CHECK(strcmp(error.text, path) == 0);
    CHECK(arg.type == VANTREL_VT_STRING && strcmp(arg.u.str, "PRS\r") == 0);
    CHECK(call(ctrl, "PortIsOpen", VANTREL_PROPERTYGET, NULL, 0, &r) == 0 && r.u.integer == -1);
    CHECK(call(ctrl, "ClosePort", VANTREL_METHOD, NULL, 0, &r) == 0 && r.u.integer == -1);

    vantrel_variant_clear(&arg);
    vantrel_variant_clear(&r);
    vantrel_release(ctrl);
}

/* --- Nothing escapes ---------------------------------------------------------------------- */

static void* loopFdOnAFreshThread(void* out) {
    *(int*)out = vantrel_loop_fd();
    return NULL;
}

static void testNothingEscapes(void) {
    CHECK(vantrel_map_port(1, "") == -1);
    CHECK(vantrel_map_port(0, "/dev/null") == -1);

    /* A thread's loop when no descriptor is left to make it. */
    struct rlimit saved, low;
    CHECK(getrlimit(RLIMIT_NOFILE, &saved) == 0);
    low = saved;
    low.rlim_cur = 256;
    CHECK(setrlimit(RLIMIT_NOFILE, &low) == 0);
    int held[256];
    int n = 0;
    while (n < 256 && (held[n] = dup(0)) >= 0) ++n;
    int fd = 0;
    pthread_t t;
    CHECK(pthread_create(&t, NULL, loopFdOnAFreshThread, &fd) == 0);
    pthread_join(t, NULL);
    CHECK(fd == -1);
    while (n > 0) close(held[--n]);
    setrlimit(RLIMIT_NOFILE, &saved);

    vantrel_variant_init(NULL);
    vantrel_variant_clear(NULL);
    vantrel_variant_set_long(NULL, 1);
    vantrel_variant_set_double(NULL, 1.5);
    vantrel_variant_set_bool(NULL, 1);
    CHECK(vantrel_variant_set_string(NULL, "x") == -1);
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s DEVICE\n", argv[0]);
        return 2;
    }
    testCallbacks(argv[1]);
    testByReference(argv[1]);
    testHangUp();
    testNothingEscapes();
    if (failures) fprintf(stderr, "%d check(s) failed\n", failures);
    return failures ? 1 : 0;
}
