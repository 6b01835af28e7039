// Compiler hints in a form every supported compiler accepts (g++ and clang on
// Linux, mingw-w64, Microsoft's compiler). Code never spells a vendor attribute
// directly.
#pragma once

// A function on an error path: kept out of line and out of the hot code.
#if defined(__GNUC__) || defined(__clang__)
#define RT_COLD [[gnu::cold, gnu::noinline]]
#elif defined(_MSC_VER)
#define RT_COLD __declspec(noinline)
#else
#define RT_COLD
#endif
