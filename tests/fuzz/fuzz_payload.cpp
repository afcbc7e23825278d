// The payload as it comes: its headers, resources, manifest and icons.
#include "FuzzOracle.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::packAndCheck(fuzz::launcherTemplate(), std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
