// Making BPS and IPS patches. BPS describes data that moved (a translation
// whose text grew shifts everything behind it) by copies from anywhere in
// the original or the result; IPS writes changed runs at their places, as
// older emulators and tools expect.
#pragma once

#include <cstdint>
#include <string>

#include "host/file_services.h"

namespace zelk {

// Writes a BPS patch from `source` to `target`, with `metadata` (UTF-8
// text, stored as it is). Memory: an index of the source of at most an
// eighth of its size (32 MiB for any source up to 256 MiB), and buffers.
void WriteBps(InputFile& source, InputFile& target, const std::string& metadata, OutputFile& patch,
              const BufferSizes& sizes);

// How many bytes of the source one index entry stands for, and how many
// entries the index has (a power of two), for a source of `size` bytes.
struct BpsIndexShape {
    std::uint64_t step;
    std::uint64_t slots;
};
BpsIndexShape BpsIndexFor(std::uint64_t size);

// Writes an IPS patch from `original` to `changed`, or throws FileError
// (naming `patch`'s path) for a change IPS cannot address: a record past
// 16 MiB, a shorter result of 16 MiB or more.
void WriteIps(InputFile& original, InputFile& changed, OutputFile& patch, const BufferSizes& sizes);

}  // namespace zelk
