/* A program built against an installed vantrel: the C interface and the entry points. */
#include <stdio.h>
#include <vantrel/component.h>

int main(void) {
    int32_t id = 0;
    if (vantrel_member_id("Command", &id) != 0 || id != 0x6003000C) return 1;
    if (DllRegisterServer() != VANTREL_S_OK) return 1;
    const vantrel_type_library_desc* lib = vantrel_type_library();
    if (vantrel_registry_find(&lib->clsid) != lib) return 1;
    printf("consumer_c: %s %u.%u\n", lib->name, lib->major, lib->minor);
    return 0;
}
