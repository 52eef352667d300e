// SHA-256 of a byte string, as 64 lower-case hexadecimal digits. Used for
// the golden digests of rendered output; speed does not matter here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zindle::test {

class Sha256 {
public:
    Sha256();
    void add(const std::uint8_t* bytes, std::size_t count);
    std::string hex();  // ends the digest; add nothing after it

private:
    void block(const std::uint8_t* b);
    std::uint32_t h_[8];
    std::uint8_t pending_[64];
    std::size_t pending_count_ = 0;
    std::uint64_t total_ = 0;
};

std::string sha256_hex(const std::uint8_t* bytes, std::size_t count);

}  // namespace zindle::test
