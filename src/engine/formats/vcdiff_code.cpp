#include "engine/formats/vcdiff_code.h"

#include <algorithm>

namespace zelk::vcdiff {

const CodeTable& DefaultTable() {
    static const CodeTable table = [] {
        CodeTable t{};
        std::size_t i = 0;
        t[i++][0] = {kRun, 0, 0};
        for (int size = 0; size <= 17; ++size) t[i++][0] = {kAdd, static_cast<std::uint8_t>(size), 0};
        for (int mode = 0; mode < 9; ++mode) {
            t[i++][0] = {kCopy, 0, static_cast<std::uint8_t>(mode)};
            for (int size = 4; size <= 18; ++size)
                t[i++][0] = {kCopy, static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(mode)};
        }
        for (int mode = 0; mode < 6; ++mode)
            for (int add = 1; add <= 4; ++add)
                for (int copy = 4; copy <= 6; ++copy)
                    t[i++] = {{{kAdd, static_cast<std::uint8_t>(add), 0},
                               {kCopy, static_cast<std::uint8_t>(copy), static_cast<std::uint8_t>(mode)}}};
        for (int mode = 6; mode < 9; ++mode)
            for (int add = 1; add <= 4; ++add)
                t[i++] = {{{kAdd, static_cast<std::uint8_t>(add), 0}, {kCopy, 4, static_cast<std::uint8_t>(mode)}}};
        for (int mode = 0; mode < 9; ++mode)
            t[i++] = {{{kCopy, 4, static_cast<std::uint8_t>(mode)}, {kAdd, 1, 0}}};
        return t;
    }();
    return table;
}

void AddressCache::Reset() {
    std::fill(near_.begin(), near_.end(), 0);
    std::fill(same_.begin(), same_.end(), 0);
    nextNear_ = 0;
}

void AddressCache::Update(std::uint64_t address) {
    if (!near_.empty()) {
        near_[nextNear_] = address;
        nextNear_ = (nextNear_ + 1) % near_.size();
    }
    if (!same_.empty()) same_[address % same_.size()] = address;
}

void AppendVarint(std::vector<std::uint8_t>& out, std::uint64_t value) {
    std::uint8_t bytes[10];
    std::size_t n = 0;
    do {
        bytes[n++] = static_cast<std::uint8_t>(value & 0x7F);
        value >>= 7;
    } while (value != 0);
    while (n > 1) out.push_back(static_cast<std::uint8_t>(bytes[--n] | 0x80));
    out.push_back(bytes[0]);
}

std::size_t VarintSize(std::uint64_t value) {
    std::size_t n = 1;
    while (value >>= 7) ++n;
    return n;
}

}  // namespace zelk::vcdiff
