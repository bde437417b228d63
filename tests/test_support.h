#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "host/recording_host.h"

namespace zelk::test {

using Bytes = std::vector<std::uint8_t>;

Bytes Random(std::size_t size, std::uint32_t seed);
Bytes Concat(std::initializer_list<Bytes> parts);
Bytes Int32(std::int32_t value);
Bytes Text(std::string_view text);
// A patch put together by hand: magic, commentPos, the given blocks, comment.
Bytes PatchBytes(const std::vector<std::pair<std::int32_t, Bytes>>& blocks, std::string_view comment);

// An archive as an archiver writes it, through libarchive.
struct Member {
    std::string name;
    Bytes bytes;
};
enum class Kind { ZipDeflated, ZipStored, SevenZip, ZipEncrypted };
Bytes MakeArchive(Kind kind, const std::vector<Member>& members);

// A Critical "Cannot write PATH: REASON" with the system's reason: on POSIX
// systems exactly `posixReason` (strerror's words); on Windows any
// (FormatMessage's words, which depend on the system's language).
::testing::AssertionResult CannotWrite(const RecordedMessage& message, const std::string& path,
                                       const std::string& posixReason);

// A fresh folder per test, removed afterwards, with a recording host.
class FileTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    std::string Write(const std::string& name, const Bytes& bytes) const;
    Bytes Read(const std::string& name) const;
    bool Exists(const std::string& name) const { return std::filesystem::exists(dir_ / name); }
    // Names in the folder, so a test can see that no temporary file is left.
    std::vector<std::string> Listing() const;
    // The temporary files of outputs left in the folder.
    std::vector<std::string> Temporaries() const;

    std::vector<RecordedMessage> Messages() const { return host_.messages; }
    // Three versions of a ROM, for patches applied in order: a.rom, b.rom
    // (a byte changed), c.rom (another besides); c's bytes.
    Bytes WriteThreeVersions() const;
    RecordedMessage Plain(std::string_view text) const { return {std::string(text), MessageStyle::Plain}; }

    std::filesystem::path dir_;
    RecordingHost host_;
};

}  // namespace zelk::test
