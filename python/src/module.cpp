// _vantrel: the Python bindings of Board, the control, the port map and the simulated board.
// The pure-Python layer (vantrel/__init__.py) builds the public package on top of this.
//
// Every call that may wait for a board releases the GIL; event handlers take it back (the
// std::function wrappers of pybind11 acquire it for each call and for their destruction). On
// the main thread, Ctrl-C ends such a wait (interrupt.hpp).
#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "interrupt.hpp"
#include "sim/board_console.hpp"
#include "sim/sim_thread.hpp"
#include "vantrel/board.hpp"
#include "vantrel/ctrl.hpp"
#include "vantrel/platform.hpp"

namespace py = pybind11;
using namespace vantrel;

namespace {

using vantrel::python::Interruptible;

using Release = py::call_guard<py::gil_scoped_release>;
// A call that may wait for the board: the GIL released, Ctrl-C heard.
using Wait = py::call_guard<Interruptible, py::gil_scoped_release>;

// Seconds from Python to a duration, refusing what cannot be waited for.
template <typename Duration>
Duration seconds(double s, const char* what) {
    if (!std::isfinite(s) || s < 0 || s > 1e6)
        throw std::invalid_argument(std::string(what) + " must be between 0 and 1e6 seconds");
    return std::chrono::ceil<Duration>(std::chrono::duration<double>(s));
}

// --- Variants ------------------------------------------------------------------------------

py::object toPython(const Variant& v) {
    switch (v.type()) {
        case VarType::Empty:
        case VarType::Null:
            return py::none();
        case VarType::Boolean:
            return py::bool_(v.asBoolean());
        case VarType::Integer:
        case VarType::Long:
            return py::int_(v.toLong());
        case VarType::String:
            return py::str(v.toString());
        default:
            return py::float_(v.toDouble());
    }
}

Variant fromPython(const py::handle& o) {
    if (o.is_none()) return Variant();
    if (py::isinstance<py::bool_>(o)) return Variant(o.cast<bool>());
    if (py::isinstance<py::int_>(o)) {
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(o.ptr(), &overflow);
        if (overflow == 0) {
            if (n >= INT16_MIN && n <= INT16_MAX) return Variant(static_cast<int16_t>(n));
            if (n >= INT32_MIN && n <= INT32_MAX) return Variant(static_cast<int32_t>(n));
            return Variant(static_cast<double>(n));
        }
        // Beyond 64 bits: a Double, as the interface holds any large number; OverflowError
        // beyond a double's range.
        const double d = PyLong_AsDouble(o.ptr());
        if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
        return Variant(d);
    }
    if (py::isinstance<py::float_>(o)) return Variant(o.cast<double>());
    if (py::isinstance<py::str>(o)) return Variant(o.cast<std::string>());
    throw py::type_error("a value must be None, bool, int, float or str");
}

// --- The faithful control ------------------------------------------------------------------

// Calls a Python object's InterruptLow / InterruptHigh / NewData methods, where it has them.
// NewData gets (value, error); a handler that returns a pair (value, error) assigns both, as
// a handler of the control may.
class PySink : public VantrelEvents {
  public:
    explicit PySink(py::object target) : target_(std::move(target)) {}
    ~PySink() override {
        py::gil_scoped_acquire gil;
        target_ = py::object();
    }
    PySink(const PySink&) = delete;
    PySink& operator=(const PySink&) = delete;
    const py::object& target() const { return target_; }

    void InterruptLow() override { call("InterruptLow"); }
    void InterruptHigh() override { call("InterruptHigh"); }
    void NewData(Variant& m_Value, std::string& ErrorStr) override {
        py::gil_scoped_acquire gil;
        if (!py::hasattr(target_, "NewData")) return;
        py::object back = target_.attr("NewData")(toPython(m_Value), ErrorStr);
        if (back.is_none()) return;
        const auto pair = back.cast<py::tuple>();
        if (pair.size() != 2) throw py::value_error("NewData returns None or (value, error)");
        m_Value = fromPython(pair[0]);
        ErrorStr = pair[1].cast<std::string>();
    }

  private:
    void call(const char* name) {
        py::gil_scoped_acquire gil;
        if (py::hasattr(target_, name)) target_.attr(name)();
    }
    py::object target_;
};

// The control with the Python sinks it has been connected to; they live as long as it does.
struct PyCtrl {
    PyCtrl() : ctrl(VantrelCtrl::createNew()) {}
    ~PyCtrl() {
        ctrl.reset();
        sinks.clear();
    }
    PyCtrl(const PyCtrl&) = delete;
    PyCtrl& operator=(const PyCtrl&) = delete;

    std::unique_ptr<VantrelCtrl> ctrl;
    std::vector<std::unique_ptr<PySink>> sinks;
};

// --- The control's members, bound from the member table -----------------------------------

// What a by-reference argument the member only writes starts as when the caller leaves it out.
Variant emptyOf(VarType type) {
    switch (type) {
        case VarType::String:
            return Variant(std::string());
        case VarType::Integer:
            return Variant(int16_t{0});
        case VarType::Long:
            return Variant(int32_t{0});
        case VarType::Boolean:
            return Variant(false);
        default:
            return Variant();
    }
}

bool returned(const ParamInfo& p) {
    return p.byRef && p.use != ArgUse::Read;
}

// Calls one row: the arguments by position or by their names in the table, converted as the
// component interface converts them. Returns the result, followed in a tuple by the
// by-reference arguments the member writes.
py::object callMember(PyCtrl& c, const MemberInfo& m, const py::args& args,
                      const py::kwargs& kwargs) {
    const std::size_t n = m.params.size();
    if (args.size() > n)
        throw py::type_error(std::string(m.name) + "() takes " + std::to_string(n) +
                             " argument(s), " + std::to_string(args.size()) + " given");
    std::vector<Variant> in;
    std::size_t used = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const ParamInfo& p = m.params[i];
        if (i < args.size()) {
            in.push_back(fromPython(args[i]));
        } else if (kwargs.contains(p.name)) {
            in.push_back(fromPython(kwargs[p.name]));
            ++used;
        } else if (p.use == ArgUse::Write) {
            in.push_back(emptyOf(p.type));
        } else {
            throw py::type_error(std::string(m.name) + "() is missing the argument " + p.name);
        }
    }
    if (used != kwargs.size())
        throw py::type_error(std::string(m.name) + "() got an unexpected keyword argument");
    Variant result;
    {
        const Interruptible interruptible;
        const py::gil_scoped_release release;
        result = invoke(*c.ctrl, m.id, m.kind, in);
    }
    py::list out;
    out.append(toPython(result));
    for (std::size_t i = 0; i < n; ++i)
        if (returned(m.params[i])) out.append(toPython(in[i]));
    return out.size() == 1 ? out[0] : py::object(py::tuple(out));
}

// The docstring of a member: how Python calls it, its usage, what it does, what comes back.
std::string docOf(const MemberInfo& m) {
    std::string doc = m.name;
    if (m.kind == InvokeKind::Method) {
        doc += "(";
        for (std::size_t i = 0; i < m.params.size(); ++i) {
            if (i) doc += ", ";
            doc += m.params[i].name;
            if (m.params[i].use == ArgUse::Write)
                doc += "=" + py::repr(toPython(emptyOf(m.params[i].type))).cast<std::string>();
        }
        doc += ")";
    }
    doc += "\n\n" + std::string(m.usage) + ": " + m.summary + ".";
    if (*m.details) doc += "\n\n" + std::string(m.details);
    std::string back;
    for (const ParamInfo& p : m.params)
        if (returned(p)) back += std::string(", ") + p.name;
    if (!back.empty()) doc += "\n\nReturns (result" + back + ").";
    return doc;
}

void bindMembers(py::class_<PyCtrl>& cls) {
    // The signature pybind11 would write says only (*args, **kwargs): docOf() writes its own.
    py::options options;
    options.disable_function_signatures();
    const std::vector<MemberInfo>& table = memberTable();
    for (const MemberInfo& m : table) {
        const MemberInfo* get = findMember(m.id, InvokeKind::PropertyGet);
        const MemberInfo* put = findMember(m.id, InvokeKind::PropertyPut);
        if (m.kind == InvokeKind::Method) {
            cls.def(
                m.name,
                [&m](PyCtrl& c, const py::args& args, const py::kwargs& kwargs) {
                    return callMember(c, m, args, kwargs);
                },
                docOf(m).c_str());
        } else if (m.kind == InvokeKind::PropertyGet || !get) {  // a property, bound once
            py::cpp_function getter;
            py::cpp_function setter;
            if (get)
                getter = py::cpp_function(
                    [get](PyCtrl& c) { return callMember(c, *get, py::args(), py::kwargs()); });
            if (put)
                setter = py::cpp_function([put](PyCtrl& c, py::object value) {
                    callMember(c, *put, py::make_tuple(std::move(value)), py::kwargs());
                });
            cls.def_property(m.name, getter, setter, docOf(m).c_str());
        }
    }
}

// --- Exceptions ----------------------------------------------------------------------------

PyObject* gError = nullptr;
PyObject* gBoardError = nullptr;
PyObject* gTimeout = nullptr;

void raise(PyObject* type, const Error& e) {
    py::object exc = py::reinterpret_borrow<py::object>(type)(e.what());
    exc.attr("number") = e.number();
    if (const auto* b = dynamic_cast<const BoardError*>(&e)) {
        exc.attr("error_nr") = b->boardErrorNr();
        exc.attr("text") = b->boardText();
        exc.attr("raw") = b->raw();
    }
    PyErr_SetObject(type, exc.ptr());
}

// --- The simulated board ------------------------------------------------------------------

using sim::BoardEngine;
using sim::PtyBoard;
using sim::setInputFromWords;
using sim::SimThread;
using sim::splitWords;

// A method of the Python simulator: fn runs on the board's thread, the GIL released meanwhile.
template <typename R, typename... A>
auto on(R (*fn)(PtyBoard&, A...)) {
    return [fn](SimThread& s, A... args) -> R {
        py::gil_scoped_release release;
        return s.call([&](PtyBoard& b) -> R { return fn(b, args...); });
    };
}

// --- Reprs ---------------------------------------------------------------------------------

std::string repr(const Reply& r) {
    std::string s = "Reply(ok=" + std::string(r.ok ? "True" : "False");
    if (r.value) s += ", value=" + py::repr(py::float_(*r.value)).cast<std::string>();
    if (r.errorNr) s += ", error_nr=" + std::to_string(r.errorNr);
    if (!r.text.empty()) s += ", text=" + py::repr(py::str(r.text)).cast<std::string>();
    return s + ", raw=" + py::repr(py::str(r.raw)).cast<std::string>() + ")";
}

std::string repr(const SelfCheck& c) {
    return "SelfCheck(bits=" + std::to_string(c.bits) + ", scale='" + scaleName(c.scale) +
           "', reading=" +
           (c.reading ? py::repr(py::float_(*c.reading)).cast<std::string>() : "None") +
           ", window=(" + std::to_string(c.low) + ", " + std::to_string(c.high) +
           "), passed=" + (c.passed ? "True" : "False") +
           (c.error.empty() ? "" : ", error=" + py::repr(py::str(c.error)).cast<std::string>()) +
           ")";
}

}  // namespace

// Calibrations and timed readings (acquire_binding.cpp).
void bindAcquire(py::module_& m);

PYBIND11_MODULE(_vantrel, m) {
    m.doc() = "The compiled part of the vantrel package; use the package `vantrel` instead.";
    vantrel::python::setMainThread();
    m.attr("__version__") = VANTREL_VERSION;

    // Exceptions: vantrel.Error carries .number; BoardError adds .error_nr, .text, .raw.
    gError = PyErr_NewExceptionWithDoc("vantrel.Error",
                                       "A failed call; .number is the library's error number.",
                                       PyExc_Exception, nullptr);
    gBoardError = PyErr_NewExceptionWithDoc(
        "vantrel.BoardError",
        "The board answered with an error reply: .error_nr, .text and .raw are the board's.",
        gError, nullptr);
    gTimeout = PyErr_NewExceptionWithDoc("vantrel.Timeout",
                                         "No prompt came from the board within the reply timeout.",
                                         gError, nullptr);
    m.add_object("Error", py::handle(gError));
    m.add_object("BoardError", py::handle(gBoardError));
    m.add_object("Timeout", py::handle(gTimeout));
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const Timeout& e) {
            raise(gTimeout, e);
        } catch (const BoardError& e) {
            raise(gBoardError, e);
        } catch (const Error& e) {
            raise(gError, e);
        }
    });

    // --- Board ------------------------------------------------------------------------------
    py::class_<Reply>(m, "Reply", "The outcome of one command.")
        .def_readonly("ok", &Reply::ok, "True when the board acknowledged the command.")
        .def_readonly("value", &Reply::value, "The reply's number, unrounded (None unless ok).")
        .def_readonly("error_nr", &Reply::errorNr, "The board's error number, 0 for none.")
        .def_readonly("text", &Reply::text, "The board's error text, or the control's reason.")
        .def_readonly("tail", &Reply::tail, "The reply after 'OK', or the error-code character.")
        .def_readonly("raw", &Reply::raw, "The reply as received.")
        .def("__bool__", [](const Reply& r) { return r.ok; })
        .def("__repr__", [](const Reply& r) { return repr(r); });

    py::class_<SelfCheck>(m, "SelfCheck", "One reference input held against its window.")
        .def_readonly("bits", &SelfCheck::bits)
        .def_property_readonly(
            "scale", [](const SelfCheck& c) { return scaleName(c.scale); },
            "'zero', 'half' or 'full'.")
        .def_readonly("channel", &SelfCheck::channel)
        .def_property_readonly(
            "window", [](const SelfCheck& c) { return py::make_tuple(c.low, c.high); },
            "(low, high), both included, after rounding half to even.")
        .def_readonly("reading", &SelfCheck::reading, "Unrounded; None when the conversion failed.")
        .def_readonly("passed", &SelfCheck::passed)
        .def_readonly("error", &SelfCheck::error, "Empty when passed.")
        .def("__bool__", [](const SelfCheck& c) { return c.passed; })
        .def("__repr__", [](const SelfCheck& c) { return repr(c); });

    // The converter catalogue, read-only: its rows live as long as the library.
    py::class_<ReferenceCheck>(m, "ReferenceCheck", "One reference input of a converter.")
        .def_property_readonly(
            "scale", [](const ReferenceCheck& c) { return scaleName(c.scale); },
            "'zero', 'half' or 'full'.")
        .def_readonly("channel", &ReferenceCheck::channel)
        .def_property_readonly(
            "window", [](const ReferenceCheck& c) { return py::make_tuple(c.low, c.high); },
            "(low, high), both included, after rounding half to even.");
    py::class_<Converter>(m, "Converter", "One converter of the board: its width and channels.")
        .def_readonly("bits", &Converter::bits)
        .def_property_readonly(
            "member", [](const Converter& c) { return std::string(c.member); },
            "The control's member that converts ('ADC10').")
        .def_readonly("last_channel", &Converter::lastChannel, "The channels are 0 to this.")
        .def_property_readonly(
            "checks",
            [](const Converter& c) {
                return std::vector<ReferenceCheck>(c.checks.begin(), c.checks.end());
            },
            "Its reference inputs, zero, half and full scale where it has them.")
        .def("__repr__", [](const Converter& c) {
            return "Converter(bits=" + std::to_string(c.bits) +
                   ", last_channel=" + std::to_string(c.lastChannel) + ")";
        });
    m.def(
        "converters",
        [] {
            py::list rows;
            for (const Converter& c : converters())
                rows.append(py::cast(&c, py::return_value_policy::reference));
            return rows;
        },
        "Every converter of the board, narrowest first.");

    py::class_<Board>(m, "Board", "One board on one serial port (see vantrel.Board).")
        .def(py::init<const std::string&, int32_t>(), py::arg("device"), py::arg("baud") = 9600,
             Wait())
        .def(py::init<int, int32_t>(), py::arg("port"), py::arg("baud") = 9600, Wait())
        // With a reconnect policy: call_limit, first_pause and max_pause in seconds.
        .def(py::init([](const std::variant<int, std::string>& where, int32_t baud,
                         double callLimit, double firstPause, double maxPause) {
                 ReconnectPolicy p;
                 p.enabled = true;
                 p.callLimit = seconds<std::chrono::milliseconds>(callLimit, "call_limit");
                 p.firstPause = seconds<std::chrono::milliseconds>(firstPause, "first_pause");
                 p.maxPause = seconds<std::chrono::milliseconds>(maxPause, "max_pause");
                 const Interruptible interruptible;
                 const py::gil_scoped_release release;
                 if (const int* n = std::get_if<int>(&where))
                     return std::make_unique<Board>(*n, baud, p);
                 return std::make_unique<Board>(std::get<std::string>(where), baud, p);
             }),
             py::arg("device_or_port"), py::arg("baud"), py::arg("call_limit"),
             py::arg("first_pause"), py::arg("max_pause"))
        .def_property_readonly("away", &Board::away,
                               "Whether the device is away now (with a reconnect policy).")
        // The search, as a constructor so that it makes the Python class: IndexError when no
        // port answered (vantrel.find turns that into None).
        .def(py::init([](py::none, int32_t baud) {
                 std::optional<Board> found;
                 {
                     const Interruptible interruptible;
                     py::gil_scoped_release release;
                     found = Board::find(baud);
                 }
                 if (!found) throw std::out_of_range("no board answered on COM1 to COM8");
                 return std::make_unique<Board>(std::move(*found));
             }),
             py::arg("search"), py::arg("baud") = 9600)
        .def_property_readonly("device", &Board::device)
        .def_property_readonly("port", &Board::port)
        .def_property_readonly("baud", &Board::baud)
        .def("command", &Board::command, py::arg("text"), Wait(),
             "Sends one command line; returns a Reply. Raises Timeout.")
        .def("read", &Board::read, py::arg("bits"), py::arg("channel"), Wait(),
             "One reading of a channel of the 8-, 10- or 12-bit converter, unrounded.")
        .def(
            "_read_timed",
            [](Board& b, int bits, int channel) {
                const TimedReading r = b.readTimed(bits, channel);
                return std::pair(std::chrono::duration<double>(r.time.time_since_epoch()).count(),
                                 r.value);
            },
            py::arg("bits"), py::arg("channel"), Wait())
        // The readings taken before a failure (Ctrl-C included) go to self._taken.
        .def(
            "_read_many",
            [](py::object self, int bits, int channel, int count, double interval) {
                Board& b = self.cast<Board&>();
                const auto every = seconds<std::chrono::microseconds>(interval, "interval");
                std::vector<double> readings;
                try {
                    const Interruptible interruptible;
                    const py::gil_scoped_release release;
                    b.readMany(bits, channel, count, every, readings);
                } catch (...) {
                    self.attr("_taken") = py::cast(readings);
                    throw;
                }
                return readings;
            },
            py::arg("bits"), py::arg("channel"), py::arg("count"), py::arg("interval") = 0.0)
        .def("self_test", py::overload_cast<int>(&Board::selfTest), py::arg("bits"), Wait())
        .def("self_test", py::overload_cast<>(&Board::selfTest), Wait(),
             "Every reference input of the three converters; a list of SelfCheck.")
        .def("resync", &Board::resync, Wait(),
             "Brings the converter used last back into step; True when it is.")
        .def(
            "pump",
            [](Board& b, double timeout) {
                const auto t = seconds<std::chrono::milliseconds>(timeout, "timeout");
                const Interruptible interruptible;
                const py::gil_scoped_release release;
                b.pump(t);
            },
            py::arg("timeout"), "Serves the board's events for `timeout` seconds.")
        .def("close", &Board::close, Release(), "Closes the port now.")
        .def("_set_on_new_data", &Board::onNewData)
        .def("_set_on_interrupt_low", &Board::onInterruptLow)
        .def("_set_on_interrupt_high", &Board::onInterruptHigh)
        .def("_set_on_disconnected", &Board::onDisconnected)
        .def("_set_on_reconnected", &Board::onReconnected);

    // --- The port map -----------------------------------------------------------------------
    m.def(
        "map_port", [](int port, const std::string& path) { PortMap::instance().map(port, path); },
        py::arg("port"), py::arg("path"), "Makes COM `port` open `path`.");
    m.def(
        "unmap_port", [](int port) { PortMap::instance().unmap(port); }, py::arg("port"),
        "COM `port` back to /dev/ttyS<port-1>.");
    m.def(
        "port_map", [] { return PortMap::instance().mappings(); }, "The COM numbers mapped.");
    m.def("serial_devices", &listSerialDevices, "The serial devices present on this machine.");

    // --- VantrelCtrl ------------------------------------------------------------------------
    py::class_<PyCtrl> ctrl(m, "VantrelCtrl",
                            "The control with its members by name, as the component interface "
                            "has them. Arguments passed by reference that a member writes come "
                            "back in a tuple after the result.");
    ctrl.def(py::init<>());
    bindMembers(ctrl);
    ctrl.def(
            "connect",
            [](PyCtrl& c, py::object sink) {
                c.sinks.push_back(std::make_unique<PySink>(std::move(sink)));
                c.ctrl->connect(c.sinks.back().get());
            },
            py::arg("sink"),
            "Delivers the events to sink.InterruptLow(), .InterruptHigh(), .NewData(value, "
            "error) where it has them.")
        .def(
            "disconnect",
            [](PyCtrl& c, const py::object& sink) {
                for (auto it = c.sinks.begin(); it != c.sinks.end(); ++it) {
                    if ((*it)->target().is(sink)) {
                        c.ctrl->disconnect(it->get());
                        c.sinks.erase(it);
                        return;
                    }
                }
            },
            py::arg("sink"))
        .def(
            "pump",
            [](PyCtrl&, double timeout) {
                const auto t = seconds<std::chrono::milliseconds>(timeout, "timeout");
                const Interruptible interruptible;
                const py::gil_scoped_release release;
                threadLoop().pumpOnce(t);
            },
            py::arg("timeout"), "One pass of the thread's loop, waiting at most `timeout` s.");

    // --- The simulated board ------------------------------------------------------------------
    py::class_<SimThread>(m, "_Simulator")
        .def(py::init([](bool bits8, bool echo, bool paceFromLine, std::string log) {
                 PtyBoard::Options o;
                 o.engine.bits8 = bits8;
                 o.engine.echo = echo;
                 o.paceFromLine = paceFromLine;
                 o.conversionLog = std::move(log);
                 return std::make_unique<SimThread>(o);
             }),
             py::arg("bits8") = false, py::arg("echo") = false, py::arg("pace") = false,
             py::arg("log") = "", Release())
        .def_property_readonly("device", &SimThread::device)
        .def("set_reading", on(+[](PtyBoard& b, int bits, int ch, double v) {
                 b.engine().setReading(bits, ch, v);
             }),
             py::arg("bits"), py::arg("channel"), py::arg("value"))
        .def("set_input", on(+[](PtyBoard& b, int bits, int ch, std::string text) {
                 std::vector<std::string> words = splitWords(text);
                 words.insert(words.begin(), {std::to_string(bits), std::to_string(ch)});
                 setInputFromWords(b.engine(), words);
             }),
             py::arg("bits"), py::arg("channel"), py::arg("input"))
        .def("set_baud", on(+[](PtyBoard& b, uint32_t baud) { b.setBoardBaud(baud); }),
             py::arg("baud"))
        .def("clear_reading",
             on(+[](PtyBoard& b, int bits, int ch) { b.engine().clearReading(bits, ch); }),
             py::arg("bits"), py::arg("channel"))
        .def("reading",
             on(+[](PtyBoard& b, int bits, int ch) { return b.engine().reading(bits, ch); }),
             py::arg("bits"), py::arg("channel"))
        .def("script_replies",
             on(+[](PtyBoard& b, std::vector<std::string> r) { b.engine().scriptReplies(r); }),
             py::arg("replies"))
        .def("override_reply", on(+[](PtyBoard& b, std::string c, std::string r, int times) {
                 b.engine().overrideReply(c, std::move(r), times);
             }),
             py::arg("command"), py::arg("reply"), py::arg("times") = -1)
        .def("clear_faults", on(+[](PtyBoard& b) {
                 BoardEngine& e = b.engine();
                 e.clearScript();
                 e.clearOverrides();
                 e.setSilent(false);
                 e.setReplyDelay({});
                 e.setReplySplit(0, {});
                 e.setReplyPrefix({});
                 e.setOutOfStep(false);
                 e.refuseSetup(0);
             }))
        .def("set_silent", on(+[](PtyBoard& b, bool v) { b.engine().setSilent(v); }))
        .def("set_out_of_step", on(+[](PtyBoard& b, bool v) { b.engine().setOutOfStep(v); }))
        .def("set_echo", on(+[](PtyBoard& b, bool v) { b.engine().setEcho(v); }))
        .def("set_reply_delay", on(+[](PtyBoard& b, double s) {
                 b.engine().setReplyDelay(seconds<std::chrono::microseconds>(s, "delay"));
             }))
        .def("set_reply_split", on(+[](PtyBoard& b, std::size_t piece, double gap) {
                 b.engine().setReplySplit(piece, seconds<std::chrono::microseconds>(gap, "gap"));
             }))
        .def("set_reply_prefix",
             on(+[](PtyBoard& b, std::string p) { b.engine().setReplyPrefix(std::move(p)); }))
        .def("refuse_setup", on(+[](PtyBoard& b, int times) { b.engine().refuseSetup(times); }),
             py::arg("times") = 1)
        .def("hang_up_after", on(+[](PtyBoard& b, int n) { b.engine().hangUpAfter(n); }),
             py::arg("commands"))
        .def("hang_up", on(+[](PtyBoard& b) { b.hangUp(); }))
        .def("send", on(+[](PtyBoard& b, std::string bytes) { b.sendUnsolicited(bytes); }),
             py::arg("data"))
        .def("send_every", on(+[](PtyBoard& b, std::string bytes, double period) {
                 b.setUnsolicitedEvery(std::move(bytes),
                                       seconds<std::chrono::milliseconds>(period, "period"));
             }),
             py::arg("data"), py::arg("period"))
        .def("set_pace_baud", on(+[](PtyBoard& b, uint32_t baud) { b.engine().setPaceBaud(baud); }))
        .def(
            "lines",
            [](SimThread& s) {
                std::vector<std::string> lines;
                {
                    py::gil_scoped_release release;
                    lines = s.call([](PtyBoard& b) { return b.lines(); });
                }
                py::list out;
                for (const std::string& line : lines) out.append(py::bytes(line));
                return out;
            },
            "Every command line received, as bytes, its CR included.")
        .def("clear_lines", on(+[](PtyBoard& b) { b.engine().clearLines(); }))
        .def("command_count", on(+[](PtyBoard& b) { return b.engine().commandCount(); }));

    bindAcquire(m);
}
