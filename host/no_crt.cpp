// The Windows build has no C runtime. GCC expects these four to exist even
// so, and may call them for block copies, clears and compares; the stack
// canary's value and its failure, which libssp would give, are here too,
// with the process entry that seeds the canary before anything uses it.
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "host.h"

extern "C" {

// Set at start, before any function that checks it runs (zindle_start), so
// it needs no initial value: uninitialised, the player has no data section.
std::uintptr_t __stack_chk_guard;

// A smashed stack ends the process at once, as the C runtime's check does:
// nothing of it may run again.
[[noreturn]] void __stack_chk_fail() {
    asm volatile("int $0x29" : : "c"(2));  // fail fast: a stack cookie check failed
    __builtin_unreachable();
}

// The process entry: the canary gets an unguessable value before any
// function that checks it runs, so neither this nor zindle_entry may have
// a canary of its own (zindle_entry has no locals).
[[noreturn, gnu::no_stack_protector]] void zindle_start() {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    std::uintptr_t seed = static_cast<std::uintptr_t>(counter.QuadPart) ^ __builtin_ia32_rdtsc();
    seed ^= reinterpret_cast<std::uintptr_t>(&counter) << 16;  // where the stack landed
    seed ^= static_cast<std::uintptr_t>(GetCurrentProcessId()) << 40 ^ GetCurrentThreadId();
    // A zero byte first stops string copies at the canary.
    __stack_chk_guard = seed & ~std::uintptr_t{0xFF};
    zindle_entry();
}

void* memset(void* destination, int value, std::size_t count) {
    void* at = destination;
    asm volatile("rep stosb" : "+D"(at), "+c"(count) : "a"(value) : "memory");
    return destination;
}

void* memcpy(void* destination, const void* source, std::size_t count) {
    void* at = destination;
    asm volatile("rep movsb" : "+D"(at), "+S"(source), "+c"(count) : : "memory");
    return destination;
}

void* memmove(void* destination, const void* source, std::size_t count) {
    auto* to = static_cast<unsigned char*>(destination);
    const auto* from = static_cast<const unsigned char*>(source);
    if (to <= from || to >= from + count) return memcpy(destination, source, count);
    while (count > 0) {
        --count;
        to[count] = from[count];
    }
    return destination;
}

int memcmp(const void* left, const void* right, std::size_t count) {
    const auto* a = static_cast<const unsigned char*>(left);
    const auto* b = static_cast<const unsigned char*>(right);
    for (std::size_t i = 0; i < count; ++i)
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    return 0;
}

}  // extern "C"
