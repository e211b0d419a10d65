// Small helpers shared by the tests: an environment variable for one scope, and the error a
// call throws.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

#include "vantrel/error.hpp"

namespace vantrel::testing {

// Sets an environment variable, for the tool's children too, until the end of the scope (unset
// when `value` is empty); the value before comes back.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value.empty())
            ::unsetenv(name);
        else
            ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* name_;
    std::optional<std::string> old_;
};

// The Error that `f` throws, or Error(0, "no error") when it throws none.
template <typename F>
Error errorOf(F f) {
    try {
        f();
    } catch (const Error& e) {
        return e;
    }
    return Error(0, "no error");
}

}  // namespace vantrel::testing
