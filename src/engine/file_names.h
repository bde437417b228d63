// Names of files as the user and archives give them: the last part of a
// path, and the extension that tells what a file is, in any letter case.
#pragma once

#include <string>

namespace zelk {

// Letters A to Z as a to z; any other byte (UTF-8 included) as it is.
inline std::string LowerAscii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// The part after the last '/' or '\'.
inline std::string BaseName(const std::string& path) { return path.substr(path.find_last_of("/\\") + 1); }

// What follows the last dot of the last part, lower-cased; empty where it has none.
inline std::string LowerExtension(const std::string& path) {
    const std::size_t dot = path.find_last_of("./\\");
    return dot == std::string::npos || path[dot] != '.' ? "" : LowerAscii(path.substr(dot + 1));
}

}  // namespace zelk
