// Panics: the module's internal failure, carried as a C++ exception to the
// call frame, which alone reports it and turns it into a Python exception.
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
// broken-invariant checks. Only the call frame catches it, and writes its
// failure report there: a report may need the interpreter (to read its
// switch), which a frame that cannot unwind must never call.
class Panic final : public std::exception {
public:
    // A panic raised here, to be reported where it is caught.
    explicit Panic(std::string message,
                   std::source_location where = std::source_location::current()) noexcept;
    // A panic that already left the module once and has come back through
    // Python code: it was reported then, and is not reported again.
    static Panic resumed(std::string message) noexcept;

    std::string take_message() noexcept { return std::move(message_); }
    const char* what() const noexcept override { return message_.c_str(); }
    // Writes the failure report (thread, source position, message, and either
    // the one-time backtrace note or the backtrace of where it was raised);
    // nothing for a resumed panic. May call the switch reader.
    void report() const;

private:
    struct Resumed {};
    Panic(std::string message, Resumed) noexcept : message_(std::move(message)), resumed_(true) {}

    std::string message_;
    std::source_location where_;
    bool resumed_ = false;
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
