// What only GCC and Clang offer, each with a plain fallback that any C++20
// compiler takes. Defining ZENDRIK_PORTABLE takes every fallback on GCC and
// Clang too, so that the fallbacks are built and tested where they run.
#pragma once

#if (defined(__GNUC__) || defined(__clang__)) && !defined(ZENDRIK_PORTABLE)
#define ZENDRIK_GNU_EXTENSIONS 1
#endif

#ifdef ZENDRIK_GNU_EXTENSIONS
// Keeps a rarely taken path out of its caller's fast path.
#define ZENDRIK_NOINLINE [[gnu::noinline]]
// Compiles everything a function calls into it.
#define ZENDRIK_FLATTEN [[gnu::flatten]]
// A thread-local variable of the module itself, read without a call into
// the dynamic loader.
#define ZENDRIK_INITIAL_EXEC_TLS __attribute__((tls_model("initial-exec")))
#else
#define ZENDRIK_NOINLINE
#define ZENDRIK_FLATTEN
#define ZENDRIK_INITIAL_EXEC_TLS
#endif
