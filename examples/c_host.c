/* A C host: drives a control by member id through the C interface.
 *
 *   c_host DEVICE [COMMAND [BAUD]]
 *
 * maps COM1 to DEVICE, opens it at BAUD (default 115200), sends COMMAND (default "PRA") and prints the
 * outcome. Exit status 0 when the board acknowledged the command. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vantrel/vantrel.h"

static void on_event(void* user, int32_t event_id, vantrel_variant* value,
                     vantrel_variant* error_text) {
    (void)user;
    if (event_id == VANTREL_EVENT_NEWDATA)
        printf("event NewData: value type %u, text \"%s\"\n", value->type,
               error_text->u.str ? error_text->u.str : "");
    else
        printf("event %s\n", event_id == VANTREL_EVENT_INTERRUPTLOW ? "InterruptLow"
                                                                     : "InterruptHigh");
}

/* Calls member `name` with the given arguments; prints a failed call. Returns 0 on success. */
static int call(vantrel_ctrl* ctrl, const char* name, uint16_t kind, vantrel_variant* args,
                size_t nargs, vantrel_variant* result) {
    int32_t id;
    vantrel_error error;
    if (vantrel_member_id(name, &id) != 0) {
        fprintf(stderr, "no member %s\n", name);
        return -1;
    }
    if (vantrel_invoke(ctrl, id, kind, args, nargs, result, &error) != 0) {
        fprintf(stderr, "%s failed: error %d: %s\n", name, error.number, error.text);
        return -1;
    }
    return 0;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s DEVICE [COMMAND [BAUD]]\n", argv[0]);
        return 2;
    }
    vantrel_error error;
    if (vantrel_map_port(1, argv[1]) != 0) return 2;
    vantrel_ctrl* ctrl = vantrel_create(&error);
    if (!ctrl) {
        fprintf(stderr, "create failed: %s\n", error.text);
        return 3;
    }
    vantrel_set_event_callback(ctrl, on_event, NULL);

    vantrel_variant arg, result;
    vantrel_variant_init(&arg);
    vantrel_variant_init(&result);
    int status = 3;

    vantrel_variant_set_long(&arg, argc > 3 ? atol(argv[3]) : 115200);
    if (call(ctrl, "Bauds", VANTREL_PROPERTYPUT, &arg, 1, NULL) != 0) goto done;
    if (call(ctrl, "OpenPort", VANTREL_METHOD, NULL, 0, &result) != 0) goto done;
    if (result.u.integer == 0) {
        fprintf(stderr, "the port could not be opened\n");
        status = 1;
        goto done;
    }
    vantrel_variant_set_string(&arg, argc > 2 ? argv[2] : "PRA");
    if (call(ctrl, "Command", VANTREL_METHOD, &arg, 1, &result) != 0) goto done;
    status = result.u.integer ? 0 : 1;
    printf("result %s, s \"%s\"\n", status == 0 ? "True" : "False", arg.u.str);
    if (call(ctrl, "ErrorNr", VANTREL_METHOD, NULL, 0, &result) == 0)
        printf("ErrorNr %d\n", result.u.integer);
    if (call(ctrl, "ErrorString", VANTREL_METHOD, NULL, 0, &result) == 0)
        printf("ErrorString \"%s\"\n", result.u.str);

done:
    vantrel_variant_clear(&arg);
    vantrel_variant_clear(&result);
    vantrel_release(ctrl);
    return status;
}
