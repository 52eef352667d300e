// The Windows build has no C runtime. GCC expects these four to exist even
// so, and may call them for block copies, clears and compares.
#include <cstddef>

extern "C" {

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
