// The size, CRC-32, MD5 and SHA-1 of a file, as the databases ROM hacks
// name their originals by give them, taken while the file is read for
// something else: checking a patch against it reads it once, not twice.
#pragma once

#include <array>
#include <memory>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "host/file_services.h"

namespace zelk {

struct FileHashes {
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    std::array<std::uint8_t, 16> md5{};
    std::array<std::uint8_t, 20> sha1{};
};

// Which hashes a HashingInput takes: a check wants all three, an apply only
// the one its patch holds the original to.
struct HashKinds {
    bool crc = true;
    bool md5 = true;
    bool sha1 = true;
};

// `file` as its readers see it, each byte hashed the first time it is read
// in order. A read past the bytes hashed so far first hashes those between;
// a read of earlier bytes is served as it is.
class HashingInput final : public InputFile {
public:
    explicit HashingInput(InputFile& file, HashKinds kinds = {});
    ~HashingInput() override;
    std::uint64_t Size() const override { return file_.Size(); }
    std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> buffer) override;
    const std::string& Path() const override { return file_.Path(); }
    void ExpectSequential() override { file_.ExpectSequential(); }
    // Reads what no reader reached, and gives the hashes of the whole file
    // (those not taken left zero).
    FileHashes Finish();

private:
    void Feed(std::span<const std::uint8_t> bytes);
    void CatchUp(std::uint64_t to);
    struct State;
    InputFile& file_;
    std::uint64_t hashed_ = 0;
    std::vector<std::uint8_t> piece_;  // for the bytes between, kept from one read to the next
    std::unique_ptr<State> state_;
};

// The hashes of the whole of `file`, read front to back.
FileHashes HashesOf(InputFile& file);

// The CRC-32 of a file's first `length` bytes, read front to back.
std::uint32_t CrcOfFirst(InputFile& file, std::uint64_t length, std::size_t bufferSize);

namespace text {
// One labelled line each: "Size:   N bytes", "CRC-32: ...", "MD5: ...", "SHA-1: ...".
std::string HashLines(const FileHashes& hashes);
}  // namespace text

}  // namespace zelk
