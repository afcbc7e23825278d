// The .ico file given with --icon.
#include "FuzzOracle.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size != 0) {
        fuzz::packAndCheck(fuzz::launcherTemplate(), fuzz::payload(),
                           std::string(reinterpret_cast<const char*>(data), size));
    }
    return 0;
}
