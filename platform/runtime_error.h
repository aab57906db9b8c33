#pragma once

#include <stdexcept>
#include <string>

namespace vellora {

// A run-time error with its number, as the command routines' traps see it. The
// numbers are the classic ones where the program relies on them.
enum class ErrorNumber : int {
    Overflow = 6,
    FileNotFound = 53,
    LibraryLoadFailed = 48,  // the module file exists but will not load
    Cancelled = 32755,       // the user pressed Cancel in a file dialog
    Other = 1000,
};

class RuntimeError : public std::runtime_error {
public:
    RuntimeError(ErrorNumber number, const std::string& what)
        : std::runtime_error(what), m_number(number) {}
    [[nodiscard]] ErrorNumber number() const { return m_number; }

private:
    ErrorNumber m_number;
};

}  // namespace vellora
