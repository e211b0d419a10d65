/* vantrel: the component server entry points and the type-library descriptor.
 *
 * libvantrel is an in-process component server for one class, VantrelCtrl. The four entry
 * points below are what a component layer calls: register the class with its type library,
 * unregister it, get the class factory, and ask whether the library may be unloaded. The type
 * library describes the class and its two interfaces: the dual dispatch interface _VantrelCtrl
 * (members, ids, kinds, parameter types) and the event interface __VantrelCtrl. */
#ifndef VANTREL_COMPONENT_H
#define VANTREL_COMPONENT_H

#include <stddef.h>
#include <stdint.h>

#include "vantrel/vantrel.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vantrel_guid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
} vantrel_guid;

/* Status codes of the entry points. */
enum { VANTREL_S_OK = 0, VANTREL_S_FALSE = 1 };
#define VANTREL_E_NOINTERFACE ((int32_t)0x80004002u)
#define VANTREL_E_POINTER ((int32_t)0x80004003u)
#define VANTREL_E_OUTOFMEMORY ((int32_t)0x8007000Eu)
#define VANTREL_CLASS_E_CLASSNOTAVAILABLE ((int32_t)0x80040111u)

/* Type flags, as the component model numbers them. */
enum {
    VANTREL_TYPEFLAG_CANCREATE = 0x2,
    VANTREL_TYPEFLAG_HIDDEN = 0x10,
    VANTREL_TYPEFLAG_CONTROL = 0x20,
    VANTREL_TYPEFLAG_DUAL = 0x40,
    VANTREL_TYPEFLAG_NONEXTENSIBLE = 0x80,
    VANTREL_TYPEFLAG_OLEAUTOMATION = 0x100,
    VANTREL_TYPEFLAG_DISPATCHABLE = 0x1000
};

typedef struct vantrel_param_desc {
    const char* name;
    uint16_t type; /* VANTREL_VT_* (12 for a Variant parameter) */
    int by_ref;
} vantrel_param_desc;

typedef struct vantrel_member_desc {
    const char* name;
    uint16_t kind; /* VANTREL_METHOD, VANTREL_PROPERTYGET, VANTREL_PROPERTYPUT */
    int32_t id;
    size_t param_count;
    const vantrel_param_desc* params;
    uint16_t result; /* VANTREL_VT_*, VANTREL_VT_EMPTY for none */
} vantrel_member_desc;

typedef struct vantrel_interface_desc {
    const char* name;
    vantrel_guid iid;
    uint32_t flags;
    size_t member_count;
    const vantrel_member_desc* members; /* in interface order */
} vantrel_interface_desc;

typedef struct vantrel_type_library_desc {
    const char* name; /* "VantrelElectronics" */
    uint16_t major;
    uint16_t minor;
    uint32_t lcid;
    vantrel_guid libid;
    const char* class_name; /* "VantrelCtrl" */
    vantrel_guid clsid;
    uint32_t class_flags;
    vantrel_interface_desc dispatch; /* _VantrelCtrl, the default interface */
    vantrel_interface_desc events;   /* __VantrelCtrl, the default source */
    /* The toolbox picture: toolbox_height rows of toolbox_width characters, '#' set. */
    int toolbox_width;
    int toolbox_height;
    const char* const* toolbox_rows;
} vantrel_type_library_desc;

/* The type-library descriptor (static; never freed). */
VANTREL_C_API const vantrel_type_library_desc* vantrel_type_library(void);

/* The library's version record: "1.0", and whether it registers itself (1). */
VANTREL_C_API const char* vantrel_version(void);
VANTREL_C_API int vantrel_self_registering(void);

/* The class factory that DllGetClassObject hands out. */
typedef struct vantrel_class_factory vantrel_class_factory;
struct vantrel_class_factory {
    /* Creates a newly placed control (as vantrel_create). */
    int32_t (*create_instance)(vantrel_class_factory* self, vantrel_ctrl** out);
    /* Locks (lock != 0) or unlocks the server in memory. */
    int32_t (*lock_server)(vantrel_class_factory* self, int lock);
    /* Releases this reference to the factory. */
    void (*release)(vantrel_class_factory* self);
};

/* The interface id of the class factory. */
VANTREL_C_API const vantrel_guid* vantrel_iid_class_factory(void);

/* Enters the class and its type library in the component layer's registry. */
VANTREL_C_API int32_t DllRegisterServer(void);
/* Removes them again. */
VANTREL_C_API int32_t DllUnregisterServer(void);
/* Gives the class factory for clsid through *ppv; iid must be the class factory's. */
VANTREL_C_API int32_t DllGetClassObject(const vantrel_guid* clsid, const vantrel_guid* iid,
                                        void** ppv);
/* VANTREL_S_OK when no control is alive and no factory lock is held, else VANTREL_S_FALSE. */
VANTREL_C_API int32_t DllCanUnloadNow(void);

/* The component layer's registry: the descriptor registered for clsid, or NULL. */
VANTREL_C_API const vantrel_type_library_desc* vantrel_registry_find(const vantrel_guid* clsid);

#ifdef __cplusplus
}
#endif

#endif
