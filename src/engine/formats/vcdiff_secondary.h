// The secondary compressors xdelta3 may apply to a window's sections: LZMA
// through liblzma, and its own two Huffman coders, DJW (static, several
// tables a section) and FGK (adaptive).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

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

// Compresses one kind of section window after window, as LZMA: one .xz
// stream (no integrity check: each window carries its Adler-32) for all
// of them, flushed at the end of each section, so that what a section
// shares with those before costs little.
class LzmaSectionEncoder {
public:
    LzmaSectionEncoder();
    ~LzmaSectionEncoder();
    LzmaSectionEncoder(const LzmaSectionEncoder&) = delete;
    LzmaSectionEncoder& operator=(const LzmaSectionEncoder&) = delete;
    // Appends the compressed form of `in` to `out`.
    void Encode(std::span<const std::uint8_t> in, std::vector<std::uint8_t>& out);

private:
    struct Stream;
    std::unique_ptr<Stream> stream_;
};

}  // namespace zelk::vcdiff
