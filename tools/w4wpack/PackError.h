#pragma once

#include "CodePosition.h"

#include <stdexcept>
#include <string>

namespace pack {

// Why w4wpack stopped. A refusal is a fault of an input or of the place to write, which the
// user mends; a failure is one of the system (a read or a write that went wrong). Both carry
// where they were raised.
class Error : public std::runtime_error {
public:
    enum class Kind { Refused, Failed };

    Error(Kind kind, const std::string& reason, const CodePosition& where)
        : std::runtime_error(reason), errorKind(kind), position(where) {}

    Kind kind() const { return errorKind; }
    const CodePosition& where() const { return position; }

private:
    Kind errorKind;
    CodePosition position;
};

} // namespace pack

#define W4W_RAISE(kind, reason)                                                      \
    do {                                                                             \
        ORV_DECLARE_FUNCTION_NAME;                                                   \
        throw ::pack::Error(::pack::Error::Kind::kind, (reason), ORV_CODE_POSITION); \
    } while (false)

#define W4W_REFUSE(reason) W4W_RAISE(Refused, reason)
#define W4W_FAIL(reason) W4W_RAISE(Failed, reason)
