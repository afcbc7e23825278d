#include "FileUtils.h"

#include <windows.h>

namespace FileUtils {

namespace {

const char* const separators = "\\/";

bool isSeparator(char c) {
    return c == '\\' || c == '/';
}

} // namespace

std::string dirname(const std::string& path) {
    const std::string::size_type last = path.find_last_of(separators);
    if (last == std::string::npos) {
        return std::string();
    }
    const std::string::size_type end = path.find_last_not_of(separators, last);
    if (end == std::string::npos) {
        return std::string();
    }
    return path.substr(0, end + 1);
}

std::string basename(const std::string& path) {
    const std::string::size_type last = path.find_last_of(separators);
    if (last == std::string::npos) {
        return path;
    }
    return path.substr(last + 1);
}

std::string removeTrailingSlashes(const std::string& path) {
    std::string::size_type end = path.size();
    while (end > 0 && isSeparator(path[end - 1])) {
        --end;
    }
    return path.substr(0, end);
}

std::string combinePath(const std::string& dir, const std::string& name) {
    if (dir.empty()) {
        return name;
    }
    if (name.empty()) {
        return dir;
    }
    const std::string::size_type skip = isSeparator(name[0]) ? 1 : 0;
    return removeTrailingSlashes(dir) + '\\' + name.substr(skip);
}

bool isDirectory(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

const std::string& invalidFileNameChars() {
    static const std::string chars = [] {
        std::string s;
        for (char c = 0; c < 32; ++c) {
            s += c;
        }
        return s + "<>:\"|?*/\\";
    }();
    return chars;
}

} // namespace FileUtils
