// Host services with files kept in memory, for fuzzing the engine fast.
// Every contract of the file objects is checked: a breach aborts, which the
// fuzzer reports as a crash.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <map>
#include <memory>
#include <vector>

#include "host/ansi_code_page.h"
#include "host/recording_host.h"

namespace zelk::fuzz {

using Bytes = std::vector<std::uint8_t>;

// The memory "disk" holds no file larger than this.
inline constexpr std::uint64_t kDiskSize = 1u << 20;

inline void Require(bool condition) {
    if (!condition) std::abort();
}

// Whether `file` starts as a zip or a 7z does: the engine reads such a file
// as an archive, so it is no ROM to hold against a model.
inline bool StartsAsArchive(const Bytes& file) {
    for (const std::string_view magic : {std::string_view("PK\x03\x04"), std::string_view("PK\x05\x06"),
                                         std::string_view("7z\xBC\xAF\x27\x1C", 6)})
        if (file.size() >= magic.size() && std::memcmp(file.data(), magic.data(), magic.size()) == 0) return true;
    return false;
}

class MemoryHost : public HostServices, public HostCodePageFiles {
public:
    std::map<std::string, Bytes> files;
    std::vector<RecordedMessage> messages;

    bool FileExists(const std::string& path) override { return files.count(path) != 0; }

    std::unique_ptr<InputFile> OpenInput(const std::string& path) override {
        Require(FileExists(path));
        return std::make_unique<Input>(path, files[path]);
    }
    std::unique_ptr<OutputFile> CreateOutput(const std::string& path) override {
        return std::make_unique<Output>(path, files);
    }
    void ShowMessage(const std::string& text, MessageStyle style) override { messages.push_back({text, style}); }
    void EndProgram() override {}

private:
    class Input final : public InputFile {
    public:
        Input(std::string path, Bytes bytes) : path_(std::move(path)), bytes_(std::move(bytes)) {}
        std::uint64_t Size() const override { return bytes_.size(); }
        const std::string& Path() const override { return path_; }
        std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
            if (offset >= bytes_.size()) return 0;
            const std::size_t count = std::min<std::size_t>(buffer.size(), bytes_.size() - offset);
            std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), count, buffer.begin());
            return count;
        }

    private:
        std::string path_;
        Bytes bytes_;
    };

    class Output final : public OutputFile {
    public:
        Output(std::string path, std::map<std::string, Bytes>& files) : path_(std::move(path)), files_(files) {}
        void Append(std::span<const std::uint8_t> bytes) override {
            Room(bytes_.size() + bytes.size());
            bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
        }
        void WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) override {
            Require(offset + bytes.size() <= bytes_.size());
            std::copy(bytes.begin(), bytes.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
        }
        void AppendFrom(InputFile& source, std::uint64_t offset, std::uint64_t length) override {
            Require(offset + length <= source.Size());
            Room(bytes_.size() + length);
            const std::size_t at = bytes_.size();
            bytes_.resize(at + length);
            Require(source.ReadAt(offset, {bytes_.data() + at, static_cast<std::size_t>(length)}) == length);
        }
        void ExtendTo(std::uint64_t size) override {
            Room(size);
            if (size > bytes_.size()) bytes_.resize(size, 0);
        }
        std::uint64_t Size() const override { return bytes_.size(); }
        void ReadBack(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
            Require(offset + buffer.size() <= bytes_.size());
            std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), buffer.size(), buffer.begin());
        }
        void Commit() override {
            Require(!committed_);
            committed_ = true;
            files_[path_] = bytes_;
        }
        const std::string& Path() const override { return path_; }

    private:
        // A tiny patch may rightly ask for a 2 GiB result; this disk is full
        // long before.
        void Room(std::uint64_t size) const {
            if (size > kDiskSize) throw FileError("Cannot write " + path_ + ": No space left on device");
        }
        std::string path_;
        std::map<std::string, Bytes>& files_;
        Bytes bytes_;
        bool committed_ = false;
    };
};

// Whether the patch was applied to `path` read through another view (behind
// a header, in another N64 byte order), as the line that says so tells: a
// reference that reads the file as it is makes another result.
inline bool AppliedThroughView(const MemoryHost& host, const std::string& path) {
    for (const RecordedMessage& message : host.messages)
        if (message.text.starts_with(path + " has a ") || message.text.starts_with(path + " is a ")) return true;
    return false;
}

}  // namespace zelk::fuzz
