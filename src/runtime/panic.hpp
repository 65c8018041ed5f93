// Panics: the module's internal failure, carried as a C++ exception to the
// call frame, which alone turns it into a Python exception.
#pragma once

#include <cstddef>
#include <exception>
#include <source_location>
#include <string>

namespace zendrik {

// Thrown by every failed check in the core and by the binding's own
// broken-invariant checks. Only the call frame catches it.
class Panic final : public std::exception {
public:
    explicit Panic(std::string message) noexcept : message_(std::move(message)) {}
    std::string take_message() noexcept { return std::move(message_); }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Writes the failure report (thread, source position, message, and either the
// one-time backtrace note or a backtrace) to standard error, then throws.
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

// "index out of bounds: the len is {len} but the index is {index}"
[[noreturn]] void panic_index_out_of_bounds(
    std::size_t len, std::size_t index,
    std::source_location where = std::source_location::current());

// Throws without a failure report: a panic that already left the module once
// and has come back through Python code.
[[noreturn]] void resume_panic(std::string message);

// Writes the failure report for `message` without throwing; used on the abort
// paths, where nothing may unwind any further.
void report_failure(const std::string& message, std::source_location where) noexcept;

// Name of the environment variable that turns on backtraces in failure reports.
inline constexpr const char* backtrace_variable = "ZENDRIK_BACKTRACE";

// Whether an environment variable is switched on: set, and neither empty nor
// "0". A report reads the C library's environment unless the host program,
// which may know a safer copy of it, gives its own reader.
using SwitchReader = bool (*)(const char* name) noexcept;
void read_switches_with(SwitchReader reader) noexcept;
// What every reader takes for "on", given the variable's value (null: unset).
bool switch_value_is_on(const char* value) noexcept;

}  // namespace zendrik
