// What every program says for --version.
#pragma once

#include <string>
#include <string_view>

#ifndef ZELK_VERSION
#define ZELK_VERSION "unknown"
#endif

namespace zelk {

inline std::string VersionText(std::string_view program) {
    return std::string(program) +
           " (ZelkPatcher) " ZELK_VERSION "\n"
           "Copyright (c) 2026 The ZelkPatcher developers\n"
           "License: MIT <https://opensource.org/licenses/MIT>\n"
           "This is free software: you are free to change and redistribute it.\n"
           "There is NO WARRANTY, to the extent permitted by law.\n";
}

}  // namespace zelk
