// vantrel recorder: calibrations.
#include "calibration.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "record.hpp"

namespace vantrel::acquire {

namespace {
void checkFinite(double v, const char* what) {
    if (!std::isfinite(v))
        throw std::invalid_argument(std::string(what) + " must be a finite number");
}
}  // namespace

Calibration Calibration::linear(double gain, double offset) {
    checkFinite(gain, "gain");
    checkFinite(offset, "offset");
    Calibration c;
    c.kind_ = Kind::Linear;
    c.coefficients_ = {offset, gain};
    return c;
}

Calibration Calibration::polynomial(std::vector<double> coefficients) {
    if (coefficients.empty())
        throw std::invalid_argument("a polynomial needs at least one coefficient");
    for (const double v : coefficients) checkFinite(v, "a coefficient");
    Calibration c;
    c.kind_ = Kind::Polynomial;
    c.coefficients_ = std::move(coefficients);
    return c;
}

Calibration Calibration::table(std::vector<std::pair<double, double>> points) {
    if (points.size() < 2) throw std::invalid_argument("a table needs at least two points");
    for (std::size_t i = 0; i < points.size(); ++i) {
        checkFinite(points[i].first, "a raw reading");
        checkFinite(points[i].second, "a value");
        if (i > 0 && points[i].first <= points[i - 1].first)
            throw std::invalid_argument(
                "the raw readings of a table must increase from point to point");
    }
    Calibration c;
    c.kind_ = Kind::Table;
    c.points_ = std::move(points);
    return c;
}

double Calibration::apply(double raw) const {
    switch (kind_) {
        case Kind::None:
            return raw;
        case Kind::Linear:
        case Kind::Polynomial: {
            // Horner's rule, from the highest coefficient down.
            double v = 0;
            for (auto it = coefficients_.rbegin(); it != coefficients_.rend(); ++it)
                v = v * raw + *it;
            return v;
        }
        case Kind::Table: {
            // The segment whose upper end is the first point above raw; the end segments
            // beyond the table.
            auto upper = std::upper_bound(points_.begin(), points_.end(), raw,
                                          [](double r, const auto& p) { return r < p.first; });
            if (upper == points_.begin()) ++upper;
            if (upper == points_.end()) --upper;
            const auto& [x1, y1] = *upper;
            const auto& [x0, y0] = *(upper - 1);
            return y0 + (raw - x0) * (y1 - y0) / (x1 - x0);
        }
    }
    return raw;
}

double Calibration::operator()(double raw) const {
    const double v = apply(raw);
    if (!std::isfinite(v))
        throw std::range_error("the calibration gives " +
                               std::string(std::isnan(v) ? "no number" : "an infinite value") +
                               " for raw " + numberText(raw));
    return v;
}

std::string Calibration::describe() const {
    switch (kind_) {
        case Kind::None:
            return "none";
        case Kind::Linear:
            return "linear: " + numberText(coefficients_[1]) + " x raw + " +
                   numberText(coefficients_[0]);
        case Kind::Polynomial: {
            std::string text = "polynomial:";
            for (std::size_t i = 0; i < coefficients_.size(); ++i)
                text += (i == 0 ? " " : ", ") + numberText(coefficients_[i]);
            return text;
        }
        case Kind::Table:
            return "table of " + std::to_string(points_.size()) + " points";
    }
    return "";
}

}  // namespace vantrel::acquire
