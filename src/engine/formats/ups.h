// UPS: the bytes that change, as XOR against the original, between two
// files whose sizes and CRC-32s it states. The same patch turns the changed
// file back into its original.
#pragma once

#include <cstdint>
#include <string>

#include "engine/formats/format.h"

namespace zelk {

const PatchFormat& UpsFormat();

namespace text {
std::string ChangePastTheEnd(std::uint64_t at);
}  // namespace text

}  // namespace zelk
