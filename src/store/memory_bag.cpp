// The in-memory property bag, and what every store counts as a default.
#include <string>
#include <string_view>

#include "vantrel/error.hpp"
#include "vantrel/property_store.hpp"

namespace vantrel {

bool storedValueEquals(const Variant& value, const Variant& def) {
    if (value.isNull() || def.isNull()) return false;
    if (value.isEmpty() || def.isEmpty()) return value.isEmpty() && def.isEmpty();
    const bool valueText = value.type() == VarType::String;
    const bool defText = def.type() == VarType::String;
    if (valueText || defText) return valueText && defText && value.asString() == def.asString();
    // Every remaining type is numeric and converts to a double exactly (Currency to within
    // what the two sides can hold anyway).
    return value.toDouble() == def.toDouble();
}



Variant MemoryPropertyBag::ReadProperty(std::string_view key, const Variant& def) {
    auto it = values_.find(key);
    return it == values_.end() ? def : it->second;
}

void MemoryPropertyBag::WriteProperty(std::string_view key, const Variant& value,
                                      const Variant& def) {
    if (storedValueEquals(value, def))
        remove(key);
    else
        set(key, value);
}

void MemoryPropertyBag::set(std::string_view key, Variant value) {
    auto it = values_.find(key);
    if (it == values_.end())
        values_.emplace(std::string(key), std::move(value));
    else
        it->second = std::move(value);
}

void MemoryPropertyBag::remove(std::string_view key) {
    auto it = values_.find(key);
    if (it != values_.end()) values_.erase(it);
}


}  // namespace vantrel
