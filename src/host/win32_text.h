// Windows only: text in memory is UTF-8; the system speaks UTF-16.
#pragma once

#include <string>
#include <string_view>

namespace zelk {

std::string ToUtf8(std::wstring_view wide);
std::wstring FromUtf8(std::string_view utf8);

}  // namespace zelk
