// Panics: the module's internal failure, carried as a C++ exception to the
// call frame, which alone turns it into a Python exception.
#pragma once

#include <cstddef>
#include <exception>
#include <source_location>
#include <string>
#include <utility>

namespace zendrik {

// Where a panic was raised, kept for the backtrace of its failure report.
struct StackFrames {
    static constexpr int capacity = 64;
    void* frames[capacity];
    int depth = 0;
};

// Thrown by every failed check in the core and by the binding's own
// broken-invariant checks. Only the call frame catches it. Its failure report
// is written where it is raised when the switch for backtraces can be read
// there (the C environment); a host that reads the switch through its
// interpreter (see read_switches_with) has it written where the panic is
// caught, as a frame that cannot unwind must never call the interpreter.
class Panic final : public std::exception {
public:
    // A panic whose report is still to be written, by report().
    explicit Panic(std::string message,
                   std::source_location where = std::source_location::current()) noexcept;
    // A panic that needs no report: written already, or a panic that left the
    // module once and has come back through Python code (reported then).
    static Panic reported(std::string message) noexcept;

    std::string take_message() noexcept { return std::move(message_); }
    const char* what() const noexcept override { return message_.c_str(); }
    // Writes the failure report (thread, source position, message, and either
    // the one-time backtrace note or the backtrace of where it was raised),
    // if it is still to be written. May call the switch reader.
    void report() const;

private:
    struct Reported {};
    Panic(std::string message, Reported) noexcept : message_(std::move(message)) {}

    std::string message_;
    std::source_location where_;
    bool to_report_ = false;
    StackFrames raised_at_;
};

// Throws a Panic carrying `message`.
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

// "index out of bounds: the len is {len} but the index is {index}"
[[noreturn]] void panic_index_out_of_bounds(
    std::size_t len, std::size_t index,
    std::source_location where = std::source_location::current());

// Throws without a failure report: a panic that already left the module once
// and has come back through Python code.
[[noreturn]] void resume_panic(std::string message);

// Writes the failure report for `message` at once, with a backtrace of the
// caller if the C environment switches them on; used on the abort paths,
// where nothing may unwind any further and no reader may be asked.
void report_failure(const std::string& message, std::source_location where) noexcept;

// Name of the environment variable that turns on backtraces in failure reports.
inline constexpr const char* backtrace_variable = "ZENDRIK_BACKTRACE";

// Whether an environment variable is switched on: set, and neither empty nor
// "0". A report reads the C library's environment unless the host program,
// which may know a safer copy of it, gives its own reader. A reader is asked
// only where a panic is caught: it may call into the host, and unwind.
using SwitchReader = bool (*)(const char* name);
void read_switches_with(SwitchReader reader) noexcept;
// What every reader takes for "on", given the variable's value (null: unset).
bool switch_value_is_on(const char* value) noexcept;

}  // namespace zendrik
