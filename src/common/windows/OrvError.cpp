#include "OrvError.h"

#include "FileUtils.h"

std::string composeErrorMessage(const CodePosition& position, const char* what) {
    return (tstrings::StringBuilder(FileUtils::basename(position.file))
            << "(" << position.line << ") at " << position.function << "(): " << what)
        .str();
}
