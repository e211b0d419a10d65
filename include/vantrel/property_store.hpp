// vantrel: a control's stored properties: in memory, or in a form file.
#pragma once

#include "vantrel/export.h"

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "vantrel/variant.hpp"

namespace vantrel VANTREL_API {

// A control's stored properties. Keys are case-sensitive.
class PropertyBag {
  public:
    virtual ~PropertyBag() = default;
    // The stored value for key, or def when the key is absent.
    virtual Variant ReadProperty(std::string_view key, const Variant& def) = 0;
    // Stores value under key; a value equal to def (storedValueEquals) is left out (and
    // removes a stored one), so that reading it back yields def.
    virtual void WriteProperty(std::string_view key, const Variant& value, const Variant& def) = 0;
};

// Whether a value to be stored equals its default, so that the store leaves it out. Numbers
// compare by value whatever their type: Integer 1, Long 1 and Double 1.0 are equal; a Boolean
// counts as its number (false 0, true -1), so Boolean false equals Integer 0 and nothing else
// that is numeric. Texts compare exactly (case-sensitive); Empty equals only Empty; Null
// equals nothing. A text never equals a number, so "1" is stored even when the default is 1.
bool storedValueEquals(const Variant& value, const Variant& def);

// A property bag in memory, for tests and for hosts that keep properties their own way.
class MemoryPropertyBag : public PropertyBag {
  public:
    Variant ReadProperty(std::string_view key, const Variant& def) override;
    void WriteProperty(std::string_view key, const Variant& value, const Variant& def) override;

    // What is stored, for a host that persists the bag itself or a test that looks inside.
    const std::map<std::string, Variant, std::less<>>& values() const { return values_; }
    // Stores a value as it stands, without comparing it with a default.
    void set(std::string_view key, Variant value);
    void remove(std::string_view key);

  private:
    std::map<std::string, Variant, std::less<>> values_;
};

// A host form kept in a TOML file: one table per control name, holding that control's
// properties as typed values. Stored as: Integer and Long as integers, Double and Currency as
// floats, Boolean as booleans, String as strings (Empty and Null cannot be stored: Error 380).
// Read back as: an integer in the Long range as Long (beyond it as Double, so that converting
// it to Long overflows), a float as Double, a boolean as Boolean, a string as String; any other
// TOML value (array, table, date) reads as a value of no convertible type (Error 13). Keys and
// tables the control does not know are kept as they are; comments and layout are not.
// A control name is one key (a name with a dot is a single quoted key, not a nested path),
// and must be valid UTF-8.
// One FormFile is not thread-safe; any number of FormFiles, threads and processes may save to
// the same file at once (see save()).
class FormFile {
  public:
    // The largest form file loaded, in bytes.
    static constexpr size_t kMaxBytes = 1024 * 1024;
    // The deepest nesting of tables, arrays and dotted keys loaded ([a.b] and a.b = 1 are 2).
    static constexpr int kMaxNesting = 32;

    // Reads the form at path. A missing file is an empty form (save() creates it). A file that
    // cannot be read, is not a regular file, is larger than kMaxBytes, nests deeper than
    // kMaxNesting or is not valid TOML throws Error (number err::FormFile) whose text names
    // the file and, for a syntax error or the nesting, the line; the file is left untouched.
    static FormFile load(std::string path);

    FormFile(FormFile&&) noexcept;
    FormFile& operator=(FormFile&&) noexcept;
    ~FormFile();

    const std::string& path() const;
    // Whether the form has an entry under this control name.
    bool contains(std::string_view name) const;
    // The property bag of a control's entry, valid while this FormFile lives. The entry is
    // created (empty) if it does not exist, so a saved control keeps its table even with every
    // property at its default. Throws Error (err::FormFile) for an empty name, a name that is
    // not valid UTF-8, or when the entry exists but is not a table.
    PropertyBag& bag(std::string_view name);

    // Writes the form atomically: a temporary file in the same folder, flushed to disk,
    // renamed over the old file, then the folder flushed. The file is locked (flock on it)
    // from reading it again to the rename, and what is written is the file as it is then with
    // the entries this FormFile handed out bags for put in: saves of different entries by
    // different programs all survive; of one entry, the last save wins. Through a symbolic
    // link the link's target is replaced and the link kept; the new file keeps the old one's
    // owner and mode; stale "<file>.tmp.*" files of saves killed midway are removed. Refused
    // with Error (err::FormFile) naming the file: a path that is not a regular file (a device,
    // a FIFO, a folder), a file that no longer loads, a lock held for more than 10 seconds, a
    // failure of the system (full disk, no permission; the temporary file is removed). Up to
    // the rename the old file is left as it was (only the final flush of the folder can fail
    // after it).
    void save() const;

  private:
    struct Impl;
    explicit FormFile(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace vantrel
