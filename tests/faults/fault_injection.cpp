// Allocation failures on demand, for the instrumented build only: every
// global operator new of the module (and of the C++ runtime it loads) is
// replaced by one that counts allocations on the calling thread and throws
// std::bad_alloc for the ones numbered in [fail_from, fail_until) after
// arming. Tests drive it through the two C functions at the end, looked up
// in the module's shared object; nothing is added to the Python module.
#include <cstddef>
#include <cstdlib>
#include <new>
#ifdef _WIN32
#include <malloc.h>
#endif

namespace {

// Windows has no aligned_alloc; its aligned blocks must go back to _aligned_free.
void* aligned_block(std::size_t align, std::size_t size) noexcept {
#ifdef _WIN32
    return _aligned_malloc(size, align);
#else
    return std::aligned_alloc(align, size);
#endif
}

void free_aligned_block(void* p) noexcept {
#ifdef _WIN32
    _aligned_free(p);
#else
    std::free(p);
#endif
}

struct Plan {
    bool armed = false;
    unsigned long counted = 0;
    unsigned long fail_from = 0;   // 1-based
    unsigned long fail_until = 0;  // 0: every allocation from fail_from on
};

// Per thread, so that only the thread that armed it sees failures.
thread_local Plan plan;

bool should_fail() noexcept {
    if (!plan.armed) return false;
    const unsigned long n = ++plan.counted;
    return n >= plan.fail_from && (plan.fail_until == 0 || n < plan.fail_until);
}

void* allocate(std::size_t size) {
    if (should_fail()) throw std::bad_alloc();
    if (size == 0) size = 1;
    for (;;) {
        if (void* p = std::malloc(size)) return p;
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) throw std::bad_alloc();
        handler();
    }
}

void* allocate_aligned(std::size_t size, std::align_val_t alignment) {
    if (should_fail()) throw std::bad_alloc();
    const auto align = static_cast<std::size_t>(alignment);
    // aligned_alloc wants a size that is a multiple of the alignment.
    size = (size + align - 1) / align * align;
    if (size == 0) size = align;
    for (;;) {
        if (void* p = aligned_block(align, size)) return p;
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) throw std::bad_alloc();
        handler();
    }
}

template <typename Allocate, typename... Args>
void* allocate_nothrow(Allocate allocate_with, Args... args) noexcept {
    try {
        return allocate_with(args...);
    } catch (...) {
        return nullptr;
    }
}

}  // namespace

#ifdef _WIN32
#define ZENDRIK_REPLACEMENT __declspec(dllexport)
#else
#define ZENDRIK_REPLACEMENT __attribute__((visibility("default")))
#endif

ZENDRIK_REPLACEMENT void* operator new(std::size_t size) { return allocate(size); }
ZENDRIK_REPLACEMENT void* operator new[](std::size_t size) { return allocate(size); }
ZENDRIK_REPLACEMENT void* operator new(std::size_t size, std::align_val_t a) {
    return allocate_aligned(size, a);
}
ZENDRIK_REPLACEMENT void* operator new[](std::size_t size, std::align_val_t a) {
    return allocate_aligned(size, a);
}
ZENDRIK_REPLACEMENT void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocate_nothrow(allocate, size);
}
ZENDRIK_REPLACEMENT void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocate_nothrow(allocate, size);
}
ZENDRIK_REPLACEMENT void* operator new(std::size_t size, std::align_val_t a,
                                       const std::nothrow_t&) noexcept {
    return allocate_nothrow(allocate_aligned, size, a);
}
ZENDRIK_REPLACEMENT void* operator new[](std::size_t size, std::align_val_t a,
                                         const std::nothrow_t&) noexcept {
    return allocate_nothrow(allocate_aligned, size, a);
}

ZENDRIK_REPLACEMENT void operator delete(void* p) noexcept { std::free(p); }
ZENDRIK_REPLACEMENT void operator delete[](void* p) noexcept { std::free(p); }
ZENDRIK_REPLACEMENT void operator delete(void* p, std::size_t) noexcept { std::free(p); }
ZENDRIK_REPLACEMENT void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
ZENDRIK_REPLACEMENT void operator delete(void* p, std::align_val_t) noexcept {
    free_aligned_block(p);
}
ZENDRIK_REPLACEMENT void operator delete[](void* p, std::align_val_t) noexcept {
    free_aligned_block(p);
}
ZENDRIK_REPLACEMENT void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    free_aligned_block(p);
}
ZENDRIK_REPLACEMENT void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    free_aligned_block(p);
}
ZENDRIK_REPLACEMENT void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
ZENDRIK_REPLACEMENT void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
ZENDRIK_REPLACEMENT void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    free_aligned_block(p);
}
ZENDRIK_REPLACEMENT void operator delete[](void* p, std::align_val_t,
                                           const std::nothrow_t&) noexcept {
    free_aligned_block(p);
}

extern "C" {

// Fails the allocations numbered [from, until) from now on (until 0: all from
// `from` on) and restarts the count; from 0 disarms, keeping the counts.
ZENDRIK_REPLACEMENT void zendrik_fault_arm(unsigned long from, unsigned long until) {
    if (from == 0)
        plan.armed = false;
    else
        plan = Plan{true, 0, from, until};
}

// Allocations counted since arming.
ZENDRIK_REPLACEMENT unsigned long zendrik_fault_count() { return plan.counted; }
}
