#pragma once

#include <string>

namespace FileUtils {

// Both '\' and '/' separate; one '\' is written when a path is put together.
std::string dirname(const std::string& path);
std::string basename(const std::string& path);
std::string removeTrailingSlashes(const std::string& path);
std::string combinePath(const std::string& dir, const std::string& name);
bool isDirectory(const std::string& path);

// Characters refused in the name parts of temporary files, NUL included.
const std::string& invalidFileNameChars();

} // namespace FileUtils
