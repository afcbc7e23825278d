// The launcher template as it comes: its sections, directories, relocations and manifest.
#include "FuzzOracle.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::packAndCheck(std::string(reinterpret_cast<const char*>(data), size), fuzz::payload());
    return 0;
}
