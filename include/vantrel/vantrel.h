/* vantrel: the C interface. Every call runs on the calling thread; use a control only on the
 * thread that created it (its serial port and timer live on that thread's event loop). Debug
 * builds of the library check this: a call on a control from another thread is refused, the
 * ones with an error result failing with number 8503, the others (release, the setters) doing
 * nothing but saying so on standard error. */
#ifndef VANTREL_VANTREL_H
#define VANTREL_VANTREL_H

#include <stddef.h>
#include <stdint.h>

#include "vantrel/export.h"

#define VANTREL_C_API VANTREL_API

#ifdef __cplusplus
extern "C" {
#endif

/* Type codes of the component model. */
enum {
    VANTREL_VT_EMPTY = 0,
    VANTREL_VT_NULL = 1,
    VANTREL_VT_INTEGER = 2, /* 16-bit */
    VANTREL_VT_LONG = 3,    /* 32-bit */
    VANTREL_VT_DOUBLE = 5,
    VANTREL_VT_CURRENCY = 6, /* 64-bit, value x 10,000 */
    VANTREL_VT_STRING = 8,   /* UTF-8, owned by the library */
    VANTREL_VT_BOOLEAN = 11  /* -1 true, 0 false */
};

/* Invocation kinds. */
enum { VANTREL_METHOD = 1, VANTREL_PROPERTYGET = 2, VANTREL_PROPERTYPUT = 4 };

/* Event ids. */
enum { VANTREL_EVENT_INTERRUPTLOW = 1, VANTREL_EVENT_INTERRUPTHIGH = 2, VANTREL_EVENT_NEWDATA = 3 };

typedef struct vantrel_variant {
    uint16_t type;
    union {
        int16_t integer;  /* VANTREL_VT_INTEGER, VANTREL_VT_BOOLEAN */
        int32_t lng;      /* VANTREL_VT_LONG */
        double dbl;       /* VANTREL_VT_DOUBLE */
        int64_t currency; /* VANTREL_VT_CURRENCY */
        char* str;        /* VANTREL_VT_STRING: allocated by the library */
    } u;
} vantrel_variant;

/* A failed call: the error number and its text. */
typedef struct vantrel_error {
    int32_t number;
    char text[512];
} vantrel_error;

typedef struct vantrel_ctrl vantrel_ctrl;

/* Variant helpers. Strings are copied; vantrel_variant_clear frees them and sets Empty. A NULL
 * variant is ignored (vantrel_variant_set_string then returns -1). */
VANTREL_C_API void vantrel_variant_init(vantrel_variant* v);
VANTREL_C_API void vantrel_variant_clear(vantrel_variant* v);
VANTREL_C_API void vantrel_variant_set_long(vantrel_variant* v, int32_t value);
VANTREL_C_API void vantrel_variant_set_double(vantrel_variant* v, double value);
VANTREL_C_API void vantrel_variant_set_bool(vantrel_variant* v, int value);
/* Returns 0, or -1 when out of memory. */
VANTREL_C_API int vantrel_variant_set_string(vantrel_variant* v, const char* utf8);

/* A newly placed control on this thread's event loop (port 1, 9600 baud), or NULL with the
 * reason in *error (error may be NULL). */
VANTREL_C_API vantrel_ctrl* vantrel_create(vantrel_error* error);
/* Frees the control. Called while a call into the library runs on this thread (from the
 * control's own callback, say), the control raises no further events and is freed when the
 * outermost call returns. */
VANTREL_C_API void vantrel_release(vantrel_ctrl* ctrl);

/* Host forms: a TOML file at path with one table per control name (see FormFile in
 * platform.hpp). Each call reads the file afresh; saving replaces it atomically and keeps the
 * other controls' tables and any keys it does not know. Errors from the file carry number
 * 8400 and name the file (and the line, for a file that is not valid TOML). */

/* A control from the entry `name` of the form at path: created, its stored port number, baud
 * rate and port flag loaded (no range check, port not opened) and sized. A missing file or
 * entry gives a new control (port 1, 9600 baud). NULL with the reason in *error on a failure
 * (an unreadable or malformed file, error 13 or 6 for a stored value that does not convert). */
VANTREL_C_API vantrel_ctrl* vantrel_create_from_form(const char* path, const char* name,
                                                     vantrel_error* error);
/* Stores the control's port number, baud rate and port flag under `name` in the form at path
 * (created if missing; values at their defaults are left out). Returns 0, or -1 with *error;
 * on a failure the file keeps its old contents. */
VANTREL_C_API int vantrel_save_to_form(vantrel_ctrl* ctrl, const char* path, const char* name,
                                       vantrel_error* error);
/* The ambient user mode the control sees: non-zero for run time (the start value), 0 for
 * design mode. It decides, for one, the error of a PortIsOpen assignment (393 / 382). */
VANTREL_C_API void vantrel_set_user_mode(vantrel_ctrl* ctrl, int user_mode);

/* The host's message pump. While a member waits for the board it calls this instead of running
 * this thread's loop itself: one pass of the host's own loop, which must block until something
 * is pending, watch vantrel_loop_fd() among its descriptors and call vantrel_dispatch_pending()
 * when that is readable, and return. The reply timer is on vantrel's loop, so every wait ends.
 * NULL restores the default (one pass of this thread's loop). */
typedef void (*vantrel_pump_fn)(void* user);
VANTREL_C_API void vantrel_set_message_pump(vantrel_ctrl* ctrl, vantrel_pump_fn pump, void* user);

/* Looks a member up by name (case-insensitive). Returns 0 and stores the id, or -1. */
VANTREL_C_API int vantrel_member_id(const char* name, int32_t* id);

/* Calls a member by id. args[0..nargs) are in-out: a by-reference argument of the parameter's
 * own type is written back as far as the member got, also on a failed call; one of another type
 * goes through a temporary and stays as passed.
 * On success returns 0 and stores the result in *result (Empty for none; result may be NULL).
 * On a failed call returns -1 and fills *error (may be NULL). */
VANTREL_C_API int vantrel_invoke(vantrel_ctrl* ctrl, int32_t member_id, uint16_t kind,
                                 vantrel_variant* args, size_t nargs, vantrel_variant* result,
                                 vantrel_error* error);

/* Event callback. For VANTREL_EVENT_NEWDATA, value and error_text stand for the control's own
 * m_Value and m_ErrorString: a callback may replace them (vantrel_variant_set_*) and may call
 * members; what it assigned reaches the control before each call and when it returns, and after
 * each call they show what the call left. They are NULL for the other events. */
typedef void (*vantrel_event_fn)(void* user, int32_t event_id, vantrel_variant* value,
                                 vantrel_variant* error_text);
/* Sets the control's callback (NULL removes it). */
VANTREL_C_API void vantrel_set_event_callback(vantrel_ctrl* ctrl, vantrel_event_fn fn, void* user);

/* Maps COM port (1..255) to a device path for this process; a NULL path removes that mapping, so
 * that COM n is again what the ports file says, else /dev/ttyS<n-1>. Returns 0, or -1 for a port
 * out of range or an empty path. */
VANTREL_C_API int vantrel_map_port(int port, const char* path);

/* This thread's event loop: one pass waiting at most timeout_ms (-1 forever). Returns 1 when
 * something was delivered, 0 on timeout, -1 on a failure (filled into *error). */
VANTREL_C_API int vantrel_pump(int timeout_ms, vantrel_error* error);
/* A descriptor that is readable while the loop has something pending, for a host's poll();
 * -1 when this thread's loop cannot be made. */
VANTREL_C_API int vantrel_loop_fd(void);
/* Delivers whatever is pending without blocking. Returns 0, or -1 with *error. */
VANTREL_C_API int vantrel_dispatch_pending(vantrel_error* error);

#ifdef __cplusplus
}
#endif

#endif
