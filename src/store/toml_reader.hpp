// The one way every TOML file of ours is read (run files, the ports file, forms): nesting
// bounded before the parser builds anything, and its complaints said in our words with their
// line.
#pragma once

#include <toml++/toml.h>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vantrel {

// The deepest nesting of tables, arrays and dotted keys read ([a.b] and a.b = 1 are 2).
inline constexpr int kMaxTomlNesting = 32;

// A TOML text that cannot be read: where (line 1 up; column 0 when only the line is known) and
// why. what() is "NAME:LINE:COLUMN: REASON".
class TomlError : public std::runtime_error {
  public:
    TomlError(const std::string& name, std::size_t line, std::size_t column, std::string reason);
    std::size_t line() const { return line_; }
    std::size_t column() const { return column_; }
    const std::string& reason() const { return reason_; }

  private:
    std::size_t line_;
    std::size_t column_;
    std::string reason_;
};

// Parses `text`; `name` (the file) goes into the nodes' places and into messages. Throws
// TomlError.
toml::table readToml(std::string_view text, const std::string& name);

}  // namespace vantrel
