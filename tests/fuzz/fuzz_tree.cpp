// A payload whose resource directory is built from a few parameters, so that mutation reaches
// the large regular shapes that random bytes do not: tables and names shared or overlapping,
// tens of thousands of resources, one block of data named many times, an icon group naming
// every icon.
#include "FuzzOracle.h"
#include "LittleEndian.h"
#include "PackTestSupport.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace {

using packtest::hostile::namedEntry;
using packtest::hostile::RawDirectory;
using packtest::hostile::subdirectory;

struct Shape {
    bool shareTypeTables;
    bool namedByString;
    bool overlappingNames;
    bool shareLanguageTables;
    bool shareData;
    std::size_t types;
    std::size_t names;
    std::size_t nameLength;
    std::uint32_t dataSize;
};

Shape shapeOf(const std::uint8_t* data, std::size_t size) {
    std::uint8_t b[8] = {};
    std::copy(data, data + std::min<std::size_t>(size, sizeof b), b);
    return {(b[0] & 1) != 0,
            (b[0] & 2) != 0,
            (b[0] & 4) != 0,
            (b[0] & 8) != 0,
            (b[0] & 16) != 0,
            1 + b[1] % 4u,
            std::size_t(b[2]) | std::size_t(b[3]) << 8,
            1 + (std::size_t(b[4]) * 257) % 0xFFFF,
            (std::uint32_t(b[5]) | std::uint32_t(b[6]) << 8 | std::uint32_t(b[7] % 16) << 16)};
}

std::string payloadOf(const Shape& shape) {
    static const std::uint32_t typeIds[] = {3, 14, 10, 24};
    RawDirectory d;
    // The root table comes first.
    const std::uint32_t root = d.reserve(16 + 8 * shape.types);
    const std::uint32_t block = d.reserve(shape.dataSize);
    const std::uint32_t shared = d.reserve(16);
    d.dataEntry(shared, block, shape.dataSize);
    const std::uint32_t string = d.reserve(2 + 2 * (shape.nameLength + shape.names));
    le::put16(d.bytes, string, static_cast<std::uint32_t>(shape.nameLength));
    for (std::size_t k = 0; k < shape.nameLength + shape.names; ++k) {
        le::put16(d.bytes, string + 2 + 2 * k, shape.overlappingNames ? shape.nameLength : u'N');
    }
    const std::uint32_t sharedLanguages = d.table({{0, shared}});
    std::vector<std::pair<std::uint32_t, std::uint32_t>> types;
    std::uint32_t firstTable = 0;
    for (std::size_t t = 0; t < shape.types; ++t) {
        if (t != 0 && shape.shareTypeTables) {
            types.push_back({typeIds[t], subdirectory | firstTable});
            continue;
        }
        std::vector<std::pair<std::uint32_t, std::uint32_t>> names;
        for (std::size_t n = 0; n < shape.names; ++n) {
            std::uint32_t data = shared;
            if (!shape.shareData) {
                data = d.reserve(16);
                d.dataEntry(data, block, shape.dataSize);
            }
            const std::uint32_t languages = shape.shareLanguageTables ? sharedLanguages : d.table({{0, data}});
            const std::uint32_t name =
                shape.namedByString
                    ? namedEntry | (string + (shape.overlappingNames ? 2 * static_cast<std::uint32_t>(n) : 0))
                    : static_cast<std::uint32_t>(1 + n % 0xFFFF);
            names.push_back({name, subdirectory | languages});
        }
        const std::uint32_t table = d.table(names, shape.namedByString ? names.size() : 0);
        firstTable = t == 0 ? table : firstTable;
        types.push_back({typeIds[t], subdirectory | table});
    }
    le::put16(d.bytes, root + 14, static_cast<std::uint32_t>(types.size()));
    for (std::size_t t = 0; t < types.size(); ++t) {
        le::put32(d.bytes, root + 16 + 8 * t, types[t].first);
        le::put32(d.bytes, root + 16 + 8 * t + 4, types[t].second);
    }
    return d.image();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::packAndCheck(fuzz::launcherTemplate(), payloadOf(shapeOf(data, size)));
    return 0;
}
