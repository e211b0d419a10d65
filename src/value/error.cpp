#include "vantrel/error.hpp"

namespace vantrel {

const char* standardErrorText(int32_t number) noexcept {
    switch (number) {
        case err::Overflow: return "Overflow";
        case err::DivisionByZero: return "Division by zero";
        case err::TypeMismatch: return "Type mismatch";
        case err::InvalidUseOfNull: return "Invalid use of Null";
        case err::InvalidPropertyValue: return "Invalid property value";
        case err::SetNotSupportedAtRuntime: return "Set not supported at runtime";
        case err::GetNotSupportedAtRuntime: return "Get not supported at runtime";
        case err::MemberNotFound: return "Object doesn't support this property or method";
        case err::WrongArgumentCount:
            return "Wrong number of arguments or invalid property assignment";
        case err::CommandInProgress: return "Command already in progress";
        default: return "";
    }
}

Error::Error(int32_t number) : Error(number, standardErrorText(number)) {}

Error::Error(int32_t number, const std::string& text) : std::runtime_error(text), number_(number) {}

}  // namespace vantrel
