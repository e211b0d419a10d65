// vantrel recorder: turning a converter's raw reading into a value in the channel's unit.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace vantrel::acquire {

// One of: none (value = raw), linear (gain x raw + offset), a polynomial in raw (c0 + c1 raw +
// c2 raw^2 ...), or a table of (raw, value) points with linear interpolation between them and
// the end segments carried on beyond them. Immutable; safe to share between threads.
class Calibration {
  public:
    enum class Kind { None, Linear, Polynomial, Table };

    Calibration() = default;
    static Calibration linear(double gain, double offset);
    // Throws std::invalid_argument for no coefficients or one that is not finite.
    static Calibration polynomial(std::vector<double> coefficients);
    // Throws std::invalid_argument for fewer than two points, raws not strictly increasing or
    // a number that is not finite.
    static Calibration table(std::vector<std::pair<double, double>> points);

    double apply(double raw) const;
    // apply(), for a recording: a result that is infinite or not a number (a polynomial that
    // overflows) is no reading and throws std::range_error saying so.
    double operator()(double raw) const;

    Kind kind() const { return kind_; }
    // Linear: {offset, gain}; polynomial: its coefficients from c0 up.
    const std::vector<double>& coefficients() const { return coefficients_; }
    const std::vector<std::pair<double, double>>& points() const { return points_; }
    // "none", "linear: 0.1 x raw + -5", "polynomial: 1, 0.5, 0.001", "table of 4 points".
    std::string describe() const;

  private:
    Kind kind_ = Kind::None;
    std::vector<double> coefficients_;
    std::vector<std::pair<double, double>> points_;
};

}  // namespace vantrel::acquire
