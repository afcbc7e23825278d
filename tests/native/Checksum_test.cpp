#include "Checksum.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

namespace {

// CheckSumMappedFile word by word, folding the carry after each one.
std::uint32_t reference(const std::string& bytes) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        const unsigned low = static_cast<unsigned char>(bytes[i]);
        const unsigned high = i + 1 < bytes.size() ? static_cast<unsigned char>(bytes[i + 1]) : 0;
        sum += low | high << 8;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return sum + static_cast<std::uint32_t>(bytes.size());
}

} // namespace

TEST(Checksum, EqualsWordByWordFoldingWhateverThePieces) {
    std::mt19937 random(7);
    std::string all(300001, '\0');
    for (char& c : all) {
        c = static_cast<char>(random());
    }
    // Pieces that end inside a 16-bit word and inside a 32-bit one, and carries that wrap.
    const struct {
        std::size_t size;
        std::vector<std::size_t> pieces;
    } cases[] = {
        {0, {}}, {1, {1}}, {3, {1, 1, 1}}, {7, {3, 4}}, {300001, {1, 2, 3, 5, 8, 100000}}, {300000, {299999, 1}},
    };
    for (const auto& c : cases) {
        const std::string bytes = all.substr(0, c.size);
        pe::Checksum checksum;
        std::size_t at = 0;
        for (const std::size_t piece : c.pieces) {
            checksum.add(bytes.data() + at, piece);
            at += piece;
        }
        checksum.add(bytes.data() + at, bytes.size() - at);
        EXPECT_EQ(reference(bytes), checksum.value()) << c.size;
    }
    const std::string ones(65538, '\xFF');
    pe::Checksum checksum;
    checksum.add(ones.data(), ones.size());
    EXPECT_EQ(reference(ones), checksum.value());
}
