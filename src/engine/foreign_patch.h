// The formats ROM hacks are published in, read and applied with the same
// care as our own: IPS (and IPS32), UPS and BPS. Each patch is read whole
// and checked before anything is written; nothing is allocated in
// proportion to what a patch claims, and no file is held whole.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "engine/fit_check.h"
#include "engine/patch_kind.h"
#include "host/host_services.h"

namespace zelk {

struct ForeignSummary {
    PatchKind kind = PatchKind::Ips;
    std::string damage;  // what is wrong and where; empty for a sound patch
    std::uint64_t fileLength = 0;
    std::uint64_t bodyStart = 0;  // the first record or command
    std::uint64_t bodyEnd = 0;    // where they end: the EOF mark, the footer
    // UPS and BPS: the files the patch was made between, and its own checksum.
    std::uint64_t sourceSize = 0;
    std::uint64_t targetSize = 0;
    std::uint32_t sourceCrc = 0;
    std::uint32_t targetCrc = 0;
    std::uint32_t patchCrc = 0;
    // BPS: the metadata, shown as a comment where it is UTF-8 text.
    std::uint64_t metadataStart = 0;
    std::uint64_t metadataSize = 0;
    bool metadataIsText = true;
    std::uint64_t targetCopies = 0;  // BPS: copies from the result itself
    // IPS
    std::uint64_t records = 0;
    std::uint64_t runs = 0;            // of those, runs of one byte
    std::uint64_t writtenBytes = 0;    // all the bytes the records write
    std::uint64_t maxEnd = 0;          // the farthest record end
    bool ascending = true;             // each record starts at or after the previous one's end
    std::optional<std::uint64_t> truncation;

    bool Sound() const { return damage.empty(); }
    bool HasChecksums() const { return kind == PatchKind::Ups || kind == PatchKind::Bps; }
    // The result's size for an original of `originalSize` bytes (IPS only:
    // UPS and BPS say theirs).
    std::uint64_t IpsResultSize(std::uint64_t originalSize) const;
};

// The CRC-32 of a file's first `length` bytes, read front to back.
std::uint32_t CrcOfFirst(InputFile& file, std::uint64_t length, std::size_t bufferSize);

// Reads and checks the whole patch, its own CRC-32 included.
ForeignSummary ReadForeignPatch(InputFile& patch, PatchKind kind, std::size_t bufferSize);

// What a UPS or BPS patch makes of a file, by its size and CRC-32.
enum class Match {
    Source,              // the patch's original
    SourceBehindHeader,  // the patch's original behind a 512-byte copier header
    Target,              // the file the patch makes
    Neither,
};
struct FileIdentity {
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    Match match = Match::Neither;
};
// Reads the file once.
FileIdentity IdentifyFile(InputFile& file, const ForeignSummary& summary, std::size_t bufferSize);

// How to apply: from which byte of the original (past a copier header,
// which is kept in front), and for UPS which way.
struct ForeignPlan {
    std::uint64_t skip = 0;
    bool reverse = false;
};
// Writes the result to `output` and returns the CRC-32 of what the patch
// made (after any kept header). A patch that reads past the original's end
// (one applied to another file on purpose) stops with a FileError.
std::uint32_t WriteForeign(InputFile& original, InputFile& patch, const ForeignSummary& summary, const ForeignPlan& plan,
                           OutputFile& output, const BufferSizes& sizes);

// What applying an IPS patch would change in `file`: `patchedBytes` in all,
// of which `alreadyNew` are there already.
struct IpsComparison {
    std::uint64_t patchedBytes = 0;
    std::uint64_t alreadyNew = 0;
    bool alreadyApplied = false;  // every byte in place, and the size the patch leaves
};
IpsComparison CompareIps(InputFile& file, InputFile& patch, const ForeignSummary& summary, std::size_t bufferSize);

// Whether the patch fits `file`: for UPS and BPS by size and CRC-32, for IPS
// by the bytes it writes.
Verdict CheckForeign(InputFile& file, InputFile& patch, const ForeignSummary& summary, std::size_t bufferSize);

// Shows a BPS patch's metadata as a comment, where it is text.
void ShowMetadata(HostServices& host, InputFile& patch, const ForeignSummary& summary);

}  // namespace zelk
