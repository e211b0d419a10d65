// _vantrel: what the package shares with the recorder: calibrations, and readings with the time
// each was taken.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

#include "calibration.hpp"
#include "interrupt.hpp"
#include "vantrel/board.hpp"
#include "vantrel/platform.hpp"

namespace py = pybind11;
using vantrel::acquire::Calibration;

void bindAcquire(py::module_& m) {
    py::class_<Calibration>(m, "Calibration",
                            "Raw reading to value: linear, polynomial or a table with linear "
                            "interpolation, as in the recorder's run file.")
        .def(py::init<>(), "No calibration: the value is the raw reading.")
        .def_static("linear", &Calibration::linear, py::arg("gain") = 1.0, py::arg("offset") = 0.0,
                    "gain x raw + offset.")
        .def_static("polynomial", &Calibration::polynomial, py::arg("coefficients"),
                    "c0 + c1 raw + c2 raw^2 ..., coefficients from c0 up.")
        .def_static("table", &Calibration::table, py::arg("points"),
                    "(raw, value) points, raws increasing; linear between them, the end segments "
                    "carried on beyond.")
        .def("__call__", &Calibration::apply, py::arg("raw"))
        .def_property_readonly("kind",
                               [](const Calibration& c) {
                                   switch (c.kind()) {
                                       case Calibration::Kind::Linear:
                                           return "linear";
                                       case Calibration::Kind::Polynomial:
                                           return "polynomial";
                                       case Calibration::Kind::Table:
                                           return "table";
                                       default:
                                           return "none";
                                   }
                               })
        .def("__repr__", [](const Calibration& c) { return "Calibration(" + c.describe() + ")"; });

    // `count` readings whose starts are `interval` apart, each with the UTC time (POSIX seconds)
    // it was taken at.
    m.def(
        "_read_many_timed",
        [](vantrel::Board& b, int bits, int channel, int count, double interval) {
            if (count < 0) throw std::invalid_argument("count must not be negative");
            if (!std::isfinite(interval) || interval < 0 || interval > 1e6)
                throw std::invalid_argument("interval must be between 0 and 1e6 seconds");
            const auto every = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::duration<double>(interval));
            std::vector<double> times, values;
            times.reserve(static_cast<std::size_t>(count));
            values.reserve(static_cast<std::size_t>(count));
            const vantrel::python::Interruptible interruptible;  // Ctrl-C ends the waits
            py::gil_scoped_release release;
            const auto start = std::chrono::steady_clock::now();
            const auto wallStart = std::chrono::system_clock::now();
            const auto wallTime = [](std::chrono::system_clock::time_point t) {
                return std::chrono::duration<double>(t.time_since_epoch()).count();
            };
            for (int i = 0; i < count; ++i) {
                // Each start on its own deadline, so that the times do not drift.
                const auto due = start + every * i;
                for (auto left = due - std::chrono::steady_clock::now(); left > left.zero();
                     left = due - std::chrono::steady_clock::now())
                    vantrel::threadLoop().pumpOnce(
                        std::chrono::ceil<std::chrono::milliseconds>(left));
                const vantrel::TimedReading r = b.readTimed(bits, channel);
                // Deadlines that passed whole while the reading waited (a board away and
                // back) are not made up with readings at one instant: they are skipped and
                // marked by one gap, a NaN at the first of them, in time order with the
                // reading (a reading made again after the return comes after the gap).
                const auto late = std::chrono::steady_clock::now() - (due + every);
                if (every.count() <= 0 || i + 1 >= count || late <= every) {
                    times.push_back(wallTime(r.time));
                    values.push_back(r.value);
                    continue;
                }
                const auto missed = static_cast<int>(late / every);
                const auto gapTime =
                    wallStart + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                    every * (i + 1));
                const bool gapFirst = r.time > gapTime;
                if (!gapFirst) {
                    times.push_back(wallTime(r.time));
                    values.push_back(r.value);
                }
                times.push_back(wallTime(gapTime));
                values.push_back(std::numeric_limits<double>::quiet_NaN());
                if (gapFirst) {
                    times.push_back(wallTime(r.time));
                    values.push_back(r.value);
                }
                i += missed;
            }
            return std::pair(std::move(times), std::move(values));
        },
        py::arg("board"), py::arg("bits"), py::arg("channel"), py::arg("count"),
        py::arg("interval") = 0.0);
}
