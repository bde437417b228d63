// The secondary compressors xdelta3 may apply to a window's sections: LZMA
// through liblzma, and its own two Huffman coders, DJW (static, several
// tables a section) and FGK (adaptive).
#pragma once

#include <cstdint>
#include <memory>
#include <span>

namespace zelk::vcdiff {

// xdelta3's numbers for them, which are not IANA's.
enum Compressor : int { kNoCompressor = 0, kDjw = 1, kLzma = 2, kFgk = 16 };

const char* CompressorName(int compressor);

// Decompresses one kind of section (data, instructions or addresses) window
// after window: LZMA and FGK carry what they learnt from one window on to
// the next of the same kind.
class SectionDecoder {
public:
    virtual ~SectionDecoder() = default;
    // Fills all of `out` from all of `in`, or throws Damage naming `at`.
    virtual void Decode(std::span<const std::uint8_t> in, std::span<std::uint8_t> out, std::uint64_t at) = 0;
    // A section of this kind stored as it is: its coder found no gain, yet
    // an adaptive one has learnt from it all the same.
    virtual void Skipped(std::span<const std::uint8_t>) {}
};

// Null for a number that names no compressor.
std::unique_ptr<SectionDecoder> SectionDecoderFor(int compressor);

}  // namespace zelk::vcdiff
