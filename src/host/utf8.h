// Text in memory is UTF-8: one character at a time, for the code-page
// conversions and for whatever must tell characters apart.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zelk {

inline constexpr char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 character at text[pos]; advances pos. Returns U+FFFD and
// advances by one byte for a malformed sequence (overlong, surrogate, cut).
char32_t DecodeUtf8(std::string_view text, std::size_t& pos);
void AppendUtf8(std::string& out, char32_t c);

}  // namespace zelk
