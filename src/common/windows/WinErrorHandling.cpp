#include "WinErrorHandling.h"

#include "Log.h"

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string trimRight(const std::string& s) {
    std::string::size_type end = s.size();
    while (end > 0 && isSpace(s[end - 1])) {
        --end;
    }
    return s.substr(0, end);
}

std::string trim(const std::string& s) {
    const std::string right = trimRight(s);
    std::string::size_type begin = 0;
    while (begin < right.size() && isSpace(right[begin])) {
        ++begin;
    }
    return right.substr(begin);
}

std::string makeMessage(const std::string& text, const void* apiFunction, DWORD errorCode) {
    tstrings::StringBuilder second;
    second << "System error"
           << " [" << errorCode << "]";
    HMODULE module = nullptr;
    bool described = true;
    if (apiFunction != nullptr &&
        !GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCSTR>(apiFunction), &module)) {
        ORV_LOG(LogLevel::Warning, tstrings::StringBuilder("GetModuleHandleEx() failed for ")
                                       << apiFunction << " address.");
        described = false;
    }
    if (described) {
        second << "(" << systemErrorText(errorCode, module) << ")";
    }
    return mergeMessageParts(text, second.str());
}

void writeReport(const CodePosition& position, const std::string& message) {
    logger.write(LogLevel::Error, position.file, position.line, position.function, message);
}

} // namespace

SysError::SysError(const tstrings::StringBuilder& text, const void* apiFunction, DWORD errorCode)
    : std::runtime_error(makeMessage(text.str(), apiFunction, errorCode)) {}

std::string systemErrorText(DWORD errorCode, HMODULE module) {
    return (tstrings::StringBuilder("system error ")
            << errorCode << " (" << getErrorDescription(errorCode, module) << ")")
        .str();
}

std::string getErrorDescription(DWORD errorCode, HMODULE module) {
    DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
    if (module != nullptr) {
        flags |= FORMAT_MESSAGE_FROM_HMODULE;
    }
    LPWSTR buffer = nullptr;
    const DWORD n = FormatMessageW(flags, module, errorCode, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    if (n == 0) {
        return "No description available";
    }
    std::wstring description(buffer, n);
    LocalFree(buffer);
    for (wchar_t& c : description) {
        if (c < 0x20) {
            c = L' ';
        }
    }
    // Position 0 stays, so a description never becomes empty.
    std::wstring::size_type end = description.size();
    while (end > 1 && (description[end - 1] <= 0x20 || description[end - 1] == L'.')) {
        --end;
    }
    description.resize(end);
    return tstrings::toUtf8(description);
}

std::string mergeMessageParts(const std::string& first, const std::string& second) {
    const std::string head = trimRight(first);
    const std::string tail = trim(second);
    if (head.empty() || tail.empty()) {
        return head + tail;
    }
    const bool punctuated = std::string(";.,:!?").find(head.back()) != std::string::npos;
    return head + (punctuated ? " " : ". ") + tail;
}

void reportException(const CodePosition& position, const std::exception& e) {
    writeReport(position, std::string("Exception with message '") + e.what() + "' caught");
}

void reportUnknownException(const CodePosition& position) {
    writeReport(position, "Unknown exception caught");
}
