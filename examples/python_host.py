#!/usr/bin/env python3
"""A Python host: drives a control by member id through the C interface with ctypes.

    python_host.py LIBVANTREL DEVICE [BAUD]

Maps COM1 to DEVICE, opens it at BAUD (default 115200), reads channel 3 of the 10-bit converter and sends
one command, printing each outcome. Exit status 0 when both succeeded.
"""
import ctypes
import sys

VT_EMPTY, VT_LONG, VT_STRING, VT_INTEGER, VT_BOOLEAN = 0, 3, 8, 2, 11
METHOD, PROPERTYGET, PROPERTYPUT = 1, 2, 4


class Value(ctypes.Union):
    _fields_ = [("integer", ctypes.c_int16), ("lng", ctypes.c_int32), ("dbl", ctypes.c_double),
                ("currency", ctypes.c_int64), ("str", ctypes.c_void_p)]


class Variant(ctypes.Structure):
    _fields_ = [("type", ctypes.c_uint16), ("u", Value)]


class Error(ctypes.Structure):
    _fields_ = [("number", ctypes.c_int32), ("text", ctypes.c_char * 512)]


EVENT_FN = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int32, ctypes.POINTER(Variant),
                            ctypes.POINTER(Variant))


class Integer(int):
    """A 16-bit Integer argument. A by-reference parameter of type Integer (ADC10's Channel) is
    written back only when the argument is an Integer too; a Long goes through a temporary."""


class Control:
    def __init__(self, lib):
        self.lib = lib
        lib.vantrel_create.restype = ctypes.c_void_p
        lib.vantrel_create.argtypes = [ctypes.POINTER(Error)]
        lib.vantrel_release.argtypes = [ctypes.c_void_p]
        lib.vantrel_invoke.argtypes = [ctypes.c_void_p, ctypes.c_int32, ctypes.c_uint16,
                                       ctypes.POINTER(Variant), ctypes.c_size_t,
                                       ctypes.POINTER(Variant), ctypes.POINTER(Error)]
        lib.vantrel_member_id.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_int32)]
        lib.vantrel_variant_set_string.argtypes = [ctypes.POINTER(Variant), ctypes.c_char_p]
        lib.vantrel_variant_clear.argtypes = [ctypes.POINTER(Variant)]
        lib.vantrel_set_event_callback.argtypes = [ctypes.c_void_p, EVENT_FN, ctypes.c_void_p]
        error = Error()
        self.handle = lib.vantrel_create(ctypes.byref(error))
        if not self.handle:
            raise RuntimeError(error.text.decode())
        self.events = []
        self._callback = EVENT_FN(self._on_event)  # kept alive as long as the control
        lib.vantrel_set_event_callback(self.handle, self._callback, None)

    def _on_event(self, _user, event_id, _value, _text):
        self.events.append({1: "InterruptLow", 2: "InterruptHigh", 3: "NewData"}[event_id])

    def _to_python(self, v):
        if v.type == VT_STRING:
            return ctypes.string_at(v.u.str).decode()
        if v.type == VT_BOOLEAN:
            return v.u.integer != 0
        if v.type == VT_INTEGER:
            return v.u.integer
        if v.type == VT_LONG:
            return v.u.lng
        if v.type == 5:
            return v.u.dbl
        return None

    def _from_python(self, value, v):
        if isinstance(value, str):
            self.lib.vantrel_variant_set_string(ctypes.byref(v), value.encode())
        elif isinstance(value, Integer):
            v.type, v.u.integer = VT_INTEGER, int(value)
        else:
            v.type, v.u.lng = VT_LONG, int(value)

    def call(self, name, kind, *args):
        """Calls a member; returns (result, by-reference arguments after the call)."""
        member = ctypes.c_int32()
        if self.lib.vantrel_member_id(name.encode(), ctypes.byref(member)) != 0:
            raise KeyError(name)
        vargs = (Variant * max(len(args), 1))()
        for i, a in enumerate(args):
            self._from_python(a, vargs[i])
        result, error = Variant(), Error()
        status = self.lib.vantrel_invoke(self.handle, member.value, kind, vargs, len(args),
                                         ctypes.byref(result), ctypes.byref(error))
        try:
            if status != 0:
                raise RuntimeError(f"{name}: error {error.number}: {error.text.decode()}")
            return self._to_python(result), [self._to_python(vargs[i]) for i in range(len(args))]
        finally:
            for i in range(len(args)):
                self.lib.vantrel_variant_clear(ctypes.byref(vargs[i]))
            self.lib.vantrel_variant_clear(ctypes.byref(result))

    def close(self):
        self.lib.vantrel_release(self.handle)


def main():
    if len(sys.argv) not in (3, 4):
        print(__doc__, file=sys.stderr)
        return 2
    lib = ctypes.CDLL(sys.argv[1])
    lib.vantrel_map_port.argtypes = [ctypes.c_int, ctypes.c_char_p]
    lib.vantrel_map_port(1, sys.argv[2].encode())
    ctrl = Control(lib)
    try:
        ctrl.call("Bauds", PROPERTYPUT, int(sys.argv[3]) if len(sys.argv) > 3 else 115200)
        opened, _ = ctrl.call("OpenPort", METHOD)
        print("OpenPort", opened)
        ok_read, (address,) = ctrl.call("ADC10", METHOD, Integer(3))
        value, _ = ctrl.call("Value", METHOD)
        print("ADC10 channel 3:", ok_read, "address word", address, "value", value)
        ok_cmd, (s,) = ctrl.call("Command", METHOD, "PRA")
        print("Command PRA:", ok_cmd, repr(s))
        print("events:", ", ".join(ctrl.events))
        return 0 if opened and ok_read and ok_cmd and ctrl.events else 1
    finally:
        ctrl.close()


if __name__ == "__main__":
    sys.exit(main())
