#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pack {

// SHA-256 (FIPS 180-4) of bytes fed in pieces of any size.
class Sha256 {
public:
    Sha256();
    void add(const char* data, std::size_t size);
    // The digest in lower-case hexadecimal; the object is spent afterwards.
    std::string hex();

private:
    void block(const unsigned char* data);

    std::uint32_t state[8];
    unsigned char pending[64] = {};
    std::size_t pendingCount = 0;
    std::uint64_t length = 0;
};

} // namespace pack
