#include "runtime/panic.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

// Thread names and backtraces come from the operating system. Elsewhere than
// Linux a report names every thread "<unnamed>"; backtraces need glibc too.
#if defined(__linux__)
#define ZENDRIK_LINUX_REPORTS 1
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#if defined(__GLIBC__)
#define ZENDRIK_BACKTRACES 1
#include <execinfo.h>
#endif
#endif

namespace zendrik {
namespace {

std::atomic<bool> backtrace_note_written{false};

bool switched_on_in_c_environment(const char* name) noexcept {
    return switch_value_is_on(std::getenv(name));
}

std::atomic<SwitchReader> switch_reader{switched_on_in_c_environment};

// The main thread is "main"; other threads keep a name only if someone set
// one (a new thread inherits the process name, which says nothing).
void thread_name(char* out, std::size_t size) noexcept {
#ifdef ZENDRIK_LINUX_REPORTS
    if (static_cast<pid_t>(syscall(SYS_gettid)) == getpid()) {
        std::snprintf(out, size, "main");
        return;
    }
    char own[64] = {};
    char inherited[64] = {};
    std::FILE* comm = std::fopen("/proc/self/comm", "r");
    if (comm != nullptr) {
        if (std::fgets(inherited, sizeof inherited, comm) != nullptr)
            inherited[std::strcspn(inherited, "\n")] = '\0';
        std::fclose(comm);
    }
    // The calling thread's name, as every Linux C library can read it.
    if (prctl(PR_GET_NAME, own) == 0 && own[0] != '\0' &&
        std::strcmp(own, inherited) != 0) {
        std::snprintf(out, size, "%s", own);
        return;
    }
#endif
    std::snprintf(out, size, "<unnamed>");
}

#ifdef ZENDRIK_SOURCE_ROOT
// A compiler that cannot strip the project's path from source names as it
// compiles (MSVC) leaves it to be stripped here. Windows paths may spell a
// '/' as '\\' and a letter in either case; the report always uses '/'.
bool same_path_character(char a, char b) noexcept {
    const auto fold = [](char c) {
        if (c == '\\') return '/';
#ifdef _WIN32
        if (c >= 'A' && c <= 'Z') return static_cast<char>(c - 'A' + 'a');
#endif
        return c;
    };
    return fold(a) == fold(b);
}

template <std::size_t size>
const char* project_relative(const char* file, char (&out)[size]) noexcept {
    const char* rest = file;
    for (const char* root = ZENDRIK_SOURCE_ROOT; *root != '\0'; ++root, ++rest)
        if (!same_path_character(*root, *rest)) return file;
    std::size_t n = 0;
    for (; rest[n] != '\0' && n + 1 < size; ++n) out[n] = rest[n] == '\\' ? '/' : rest[n];
    out[n] = '\0';
    return out;
}
#endif


void capture([[maybe_unused]] StackFrames& frames) noexcept {
#ifdef ZENDRIK_BACKTRACES
    frames.depth = backtrace(frames.frames, StackFrames::capacity);
#endif
}

// The report itself: `frames` is null when backtraces are switched off.
void write_report(const std::string& message, std::source_location where,
                  const StackFrames* frames) noexcept {
    char name[64];
    thread_name(name, sizeof name);
    const char* file = where.file_name();
#ifdef ZENDRIK_SOURCE_ROOT
    char relative[512];
    file = project_relative(file, relative);
#endif
    std::fprintf(stderr, "thread '%s' panicked at %s:%u:%u:\n%s\n", name, file,
                 static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()),
                 message.c_str());
    if (frames != nullptr) {
        std::fputs("stack backtrace:\n", stderr);
#ifdef ZENDRIK_BACKTRACES
        std::fflush(stderr);
        backtrace_symbols_fd(frames->frames, frames->depth, STDERR_FILENO);
#endif
    } else if (!backtrace_note_written.exchange(true)) {
        std::fprintf(stderr,
                     "note: run with `%s=1` environment variable to display a backtrace\n",
                     backtrace_variable);
    }
    std::fflush(stderr);
}

}  // namespace

bool switch_value_is_on(const char* value) noexcept {
    return value != nullptr && *value != '\0' && std::string_view(value) != "0";
}

void read_switches_with(SwitchReader reader) noexcept {
    switch_reader.store(reader, std::memory_order_release);
}

Panic::Panic(std::string message, std::source_location where) noexcept
    : message_(std::move(message)), where_(where), to_report_(true) {
    capture(raised_at_);
}

Panic Panic::reported(std::string message) noexcept { return Panic(std::move(message), Reported{}); }

void Panic::report() const {
    if (!to_report_) return;
    const bool backtraces = switch_reader.load(std::memory_order_acquire)(backtrace_variable);
    write_report(message_, where_, backtraces ? &raised_at_ : nullptr);
}

void panic(std::string message, std::source_location where) {
    if (switch_reader.load(std::memory_order_acquire) == switched_on_in_c_environment) {
        report_failure(message, where);
        throw Panic::reported(std::move(message));
    }
    throw Panic(std::move(message), where);
}

void panic_index_out_of_bounds(std::size_t len, std::size_t index, std::source_location where) {
    panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
              std::to_string(index),
          where);
}

void resume_panic(std::string message) { throw Panic::reported(std::move(message)); }

void report_failure(const std::string& message, std::source_location where) noexcept {
    StackFrames here;
    const bool backtraces = switched_on_in_c_environment(backtrace_variable);
    if (backtraces) capture(here);
    write_report(message, where, backtraces ? &here : nullptr);
}

}  // namespace zendrik
