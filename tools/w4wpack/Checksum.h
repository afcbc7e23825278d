#pragma once

#include <cstddef>
#include <cstdint>

namespace pe {

// The CheckSum of an image's optional header, as the system's CheckSumMappedFile computes it:
// the file's 16-bit little-endian words summed with end-around carry (the CheckSum field
// itself read as zero), plus the file's length. Fed in pieces of any size, in file order.
class Checksum {
public:
    void add(const char* data, std::size_t size);
    // The field's value for a file of the bytes added so far.
    std::uint32_t value() const;

private:
    std::uint64_t sum = 0;
    std::uint64_t length = 0;
    // The bytes of a 32-bit word that the last piece ended inside.
    unsigned char pending[4] = {};
    unsigned pendingCount = 0;
};

} // namespace pe
