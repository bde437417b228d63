// Writers of a result from records of new bytes at offsets (IPS, PPF, APS):
// each record's bytes are taken from the patch's reader, a run repeats one
// byte; the result is cut at `result` bytes and padded with zeros.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/byte_reader.h"
#include "engine/file_window.h"
#include "host/host_services.h"

namespace zelk {

// Records in ascending order: one pass, the original's bytes between them
// (long stretches copied by the system). Call FillTo(result) at the end.
class InOrderRecords {
public:
    InOrderRecords(InputFile& original, OutputFile& output, const BufferSizes& sizes, std::uint64_t result);
    void FillTo(std::uint64_t to);
    void Data(std::uint64_t offset, std::uint64_t size, ByteReader& reader);
    void Run(std::uint64_t offset, std::uint64_t count, std::uint8_t byte);

private:
    std::uint64_t Kept(std::uint64_t offset, std::uint64_t length) const;
    InputFile& original_;
    FileWindow window_;
    OutputFile& output_;
    std::uint64_t base_;  // where the result starts in the output (behind a header kept)
    const BufferSizes& sizes_;
    std::uint64_t result_;
    std::uint64_t at_ = 0;
    std::vector<std::uint8_t> scratch_;
};
// Records in any other order: over a copy of the original already in
// `output`, later records winning.
class AnyOrderRecords {
public:
    AnyOrderRecords(OutputFile& output, std::uint64_t base, std::uint64_t result);
    void Data(std::uint64_t offset, std::uint64_t size, ByteReader& reader);
    void Run(std::uint64_t offset, std::uint64_t count, std::uint8_t byte);

private:
    OutputFile& output_;
    std::uint64_t base_;
    std::uint64_t result_;
    std::vector<std::uint8_t> scratch_;
};

// What reading a patch's records counts, as their visitor: how many, the
// farthest end, and whether each starts at or after the one before ends.
struct RecordCounts {
    std::uint64_t records = 0, maxEnd = 0;
    bool ascending = true;
    void Data(std::uint64_t offset, std::uint64_t size, ByteReader&) { Note(offset, size); }
    void Run(std::uint64_t offset, std::uint64_t count, std::uint8_t) { Note(offset, count); }

private:
    void Note(std::uint64_t offset, std::uint64_t count) {
        ++records;
        ascending = ascending && offset >= end_;
        end_ = offset + count;
        maxEnd = std::max(maxEnd, end_);
    }
    std::uint64_t end_ = 0;
};

// As the records' visitor: what applying them would change in a file,
// `patchedBytes` in all, of which `alreadyNew` are there already.
struct HeldRecords {
    FileWindow& window;
    std::uint64_t size;
    // Where the result is cut: bytes past it are written nowhere.
    std::uint64_t cut = UINT64_MAX;
    std::uint64_t patchedBytes = 0;
    std::uint64_t alreadyNew = 0;

    std::uint64_t Kept(std::uint64_t offset, std::uint64_t count) const {
        return offset < cut ? std::min(count, cut - offset) : 0;
    }
    // Every byte the records write already holds its new value.
    bool AllHeld() const { return patchedBytes > 0 && alreadyNew == patchedBytes; }
    void Compare(std::uint64_t offset, std::span<const std::uint8_t> data) {
        for (std::uint64_t i = 0; i < data.size();) {
            if (offset + i >= size) return;
            const auto piece = window.At(offset + i, std::min<std::uint64_t>(data.size() - i, size - offset - i));
            for (std::size_t k = 0; k < piece.size(); ++k) alreadyNew += piece[k] == data[i + k];
            i += piece.size();
        }
    }
    void Data(std::uint64_t offset, std::uint64_t length, ByteReader& reader) {
        patchedBytes += Kept(offset, length);
        std::uint64_t done = 0;
        TakePieces(reader, length, [&](std::span<const std::uint8_t> piece) {
            Compare(offset + done, piece);
            done += piece.size();
        });
    }
    void Run(std::uint64_t offset, std::uint64_t count, std::uint8_t byte) {
        patchedBytes += Kept(offset, count);
        for (std::uint64_t done = 0; done < count && offset + done < size;) {
            const auto piece = window.At(offset + done, std::min(count - done, size - offset - done));
            for (const std::uint8_t b : piece) alreadyNew += b == byte;
            done += piece.size();
        }
    }
};

// The result of `result` bytes: `walk(writer)` hands the records to the
// writer that suits their order.
template <class Walk>
void WriteRecords(InputFile& original, OutputFile& output, const BufferSizes& sizes, std::uint64_t result,
                  bool ascending, Walk&& walk) {
    if (ascending) {
        InOrderRecords writer(original, output, sizes, result);
        walk(writer);
        writer.FillTo(result);
    } else {
        const std::uint64_t base = output.Size();
        output.AppendFrom(original, 0, std::min(original.Size(), result));
        output.ExtendTo(base + result);
        AnyOrderRecords writer(output, base, result);
        walk(writer);
    }
}

}  // namespace zelk
