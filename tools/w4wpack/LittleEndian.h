#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Fields of Windows images and icon files: little-endian whatever the host, at any offset.
// The caller has checked that the bytes are there.
namespace le {

inline std::uint16_t get16(const std::string& bytes, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) | static_cast<unsigned char>(bytes[at + 1])
                                                                                  << 8);
}

inline std::uint32_t get32(const std::string& bytes, std::size_t at) {
    return get16(bytes, at) | static_cast<std::uint32_t>(get16(bytes, at + 2)) << 16;
}

inline void put16(std::string& bytes, std::size_t at, std::uint32_t value) {
    bytes[at] = static_cast<char>(value & 0xFF);
    bytes[at + 1] = static_cast<char>(value >> 8 & 0xFF);
}

inline void put32(std::string& bytes, std::size_t at, std::uint32_t value) {
    put16(bytes, at, value & 0xFFFF);
    put16(bytes, at + 2, value >> 16);
}

} // namespace le
