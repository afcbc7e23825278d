// w4wpack [OPTION...] TEMPLATE PAYLOAD OUTPUT: see Command.h and the usage it prints.
#include "Command.h"

#include <iostream>

int main(int argc, char** argv) {
    return pack::run(argc, argv, std::cout, std::cerr);
}
