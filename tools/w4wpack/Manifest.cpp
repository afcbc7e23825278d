#include "Manifest.h"

#include <algorithm>
#include <cstring>

namespace manifest {

namespace {

using size_type = std::string::size_type;
constexpr size_type npos = std::string::npos;

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool startsWith(const std::string& text, size_type at, const char* prefix) {
    return text.compare(at, std::strlen(prefix), prefix) == 0;
}

size_type skipSpaces(const std::string& text, size_type at) {
    while (at < text.size() && isSpace(text[at])) {
        ++at;
    }
    return at;
}

// The end of a construct that cannot hold elements, or npos when it is not one.
size_type endOfSkipped(const std::string& text, size_type at) {
    static const char* const constructs[][2] = {{"<!--", "-->"}, {"<![CDATA[", "]]>"}, {"<?", "?>"}, {"<!", ">"}};
    for (const auto& construct : constructs) {
        if (startsWith(text, at, construct[0])) {
            const size_type end = text.find(construct[1], at + std::strlen(construct[0]));
            return end == npos ? text.size() : end + std::strlen(construct[1]);
        }
    }
    return npos;
}

// Reads the attributes of the tag whose name ends before at. Returns the end of the tag and
// fills place when the tag has a level attribute.
size_type readAttributes(const std::string& text, size_type at, LevelPlace* place) {
    for (;;) {
        at = skipSpaces(text, at);
        if (at >= text.size() || text[at] == '>' || text[at] == '/') {
            const size_type end = text.find('>', at);
            return end == npos ? text.size() : end + 1;
        }
        const size_type nameBegin = at;
        while (at < text.size() && !isSpace(text[at]) && text[at] != '=' && text[at] != '>' && text[at] != '/') {
            ++at;
        }
        const std::string name = text.substr(nameBegin, at - nameBegin);
        at = skipSpaces(text, at);
        if (at >= text.size() || text[at] != '=') {
            continue; // not well-formed; read on
        }
        at = skipSpaces(text, at + 1);
        if (at >= text.size() || (text[at] != '"' && text[at] != '\'')) {
            continue;
        }
        const size_type valueEnd = text.find(text[at], at + 1);
        if (valueEnd == npos) {
            return text.size();
        }
        if (name == "level" && place != nullptr && !place->found) {
            place->found = true;
            place->begin = at + 1;
            place->length = valueEnd - at - 1;
        }
        at = valueEnd + 1;
    }
}

} // namespace

LevelPlace findExecutionLevel(const std::string& text) {
    LevelPlace place;
    size_type at = 0;
    while ((at = text.find('<', at)) != npos) {
        const size_type skipped = endOfSkipped(text, at);
        if (skipped != npos) {
            at = skipped;
            continue;
        }
        size_type nameEnd = at + 1;
        while (nameEnd < text.size() && !isSpace(text[nameEnd]) && text[nameEnd] != '>' && text[nameEnd] != '/') {
            ++nameEnd;
        }
        std::string name = text.substr(at + 1, nameEnd - at - 1);
        const size_type colon = name.find(':');
        if (colon != npos) {
            name = name.substr(colon + 1);
        }
        const bool wanted = name == "requestedExecutionLevel";
        at = readAttributes(text, nameEnd, wanted ? &place : nullptr);
        if (wanted) {
            return place;
        }
    }
    return place;
}

std::string canonicalLevel(const std::string& value) {
    const auto lower = [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    for (const char* level : {"asInvoker", "highestAvailable", "requireAdministrator"}) {
        const std::string name = level;
        if (name.size() == value.size() &&
            std::equal(name.begin(), name.end(), value.begin(), [&](char a, char b) { return lower(a) == lower(b); })) {
            return name;
        }
    }
    return std::string();
}

std::string toText(std::string_view resource) {
    if (resource.substr(0, 3) == "\xEF\xBB\xBF") {
        return std::string(resource.substr(3));
    }
    const bool little = resource.substr(0, 2) == "\xFF\xFE";
    if (little || resource.substr(0, 2) == "\xFE\xFF") {
        // Every character that the markup and the levels are made of is ASCII: the others
        // need not be decoded, only kept apart.
        std::string text;
        for (std::size_t i = 2; i + 1 < resource.size(); i += 2) {
            const unsigned char low = static_cast<unsigned char>(resource[little ? i : i + 1]);
            const unsigned char high = static_cast<unsigned char>(resource[little ? i + 1 : i]);
            text.push_back(high == 0 && low < 0x80 ? static_cast<char>(low) : '?');
        }
        return text;
    }
    return std::string(resource);
}

} // namespace manifest
