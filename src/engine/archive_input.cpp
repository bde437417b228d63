#include "engine/archive_input.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <exception>
#include <functional>
#include <utility>
#include <vector>

#include "engine/file_names.h"
#include "engine/formats/format.h"
#include "engine/user_texts.h"

namespace zelk {

namespace {

// An empty zip: the end of its directory alone, which libarchive does not
// take for a zip.
constexpr std::string_view kEmptyZip = {"PK\x05\x06", 4};
// A zip's first entry, an empty zip, a 7z's signature: an empty archive is
// told as one, not taken for a ROM or a patch.
constexpr std::string_view kArchiveMagics[] = {{"PK\x03\x04", 4}, kEmptyZip, {"7z\xBC\xAF\x27\x1C", 6}};

// An entry this small is unpacked into memory; a larger one into a file.
constexpr std::uint64_t kInMemory = 4u << 20;
// No ROM or patch comes beside this: an entry that claims or inflates to more
// would only fill the disk.
constexpr std::uint64_t kLargestEntry = 4ull << 30;

bool IsArchive(InputFile& file) {
    char head[8] = {};
    const std::size_t got = file.ReadAt(0, {reinterpret_cast<std::uint8_t*>(head), sizeof head});
    const std::string_view start(head, got);
    return std::any_of(std::begin(kArchiveMagics), std::end(kArchiveMagics),
                       [&](std::string_view magic) { return start.starts_with(magic); });
}

// An archive read through libarchive from one of our input files. libarchive
// is C: what our file throws is kept and thrown again once libarchive has
// returned.
class ArchiveReader {
public:
    ArchiveReader(InputFile& file, const std::string& shown)
        : file_(file), shown_(shown), owned_(archive_read_new(), &archive_read_free), archive_(owned_.get()) {
        if (archive_ == nullptr) throw std::bad_alloc();
        archive_read_support_format_zip_seekable(archive_);
        archive_read_support_format_7zip(archive_);
        archive_read_set_read_callback(archive_, &ArchiveReader::ReadSome);
        archive_read_set_seek_callback(archive_, &ArchiveReader::Seek);
        archive_read_set_skip_callback(archive_, &ArchiveReader::Skip);
        archive_read_set_callback_data(archive_, this);
        Check(archive_read_open1(archive_));
    }
    ArchiveReader(const ArchiveReader&) = delete;
    ArchiveReader& operator=(const ArchiveReader&) = delete;

    // The next entry's header, or null past the last.
    archive_entry* Next() {
        archive_entry* entry = nullptr;
        const int status = archive_read_next_header(archive_, &entry);
        if (status == ARCHIVE_EOF) return nullptr;
        Check(status);
        return entry;
    }

    // Up to buffer.size() bytes more of the current entry; 0 at its end.
    std::size_t Read(std::span<std::uint8_t> buffer) {
        const la_ssize_t got = archive_read_data(archive_, buffer.data(), buffer.size());
        // A warning here means bytes were lost: damage like any other.
        if (got < 0) Check(got == ARCHIVE_WARN ? ARCHIVE_FAILED : static_cast<int>(got));
        return static_cast<std::size_t>(got);
    }

    [[noreturn]] void Damaged(const std::string& what) const {
        throw FileError("Cannot read " + shown_ + ": " + what);
    }

private:
    void Check(int status) {
        if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
        if (status >= ARCHIVE_WARN) return;
        std::string said = archive_error_string(archive_) != nullptr ? archive_error_string(archive_) : "";
        while (!said.empty() && std::isspace(static_cast<unsigned char>(said.back()))) said.pop_back();
        Damaged("the archive is damaged or not one ZelkPatcher reads" + (said.empty() ? "" : " (" + said + ")"));
    }

    static la_ssize_t ReadSome(archive*, void* self, const void** buffer) {
        auto& reader = *static_cast<ArchiveReader*>(self);
        try {
            const std::size_t got = reader.file_.ReadAt(reader.at_, reader.buffer_);
            reader.at_ += got;
            *buffer = reader.buffer_.data();
            return static_cast<la_ssize_t>(got);
        } catch (...) {
            reader.failure_ = std::current_exception();
            return -1;
        }
    }
    static la_int64_t Seek(archive*, void* self, la_int64_t offset, int whence) {
        auto& reader = *static_cast<ArchiveReader*>(self);
        const auto size = static_cast<la_int64_t>(reader.file_.Size());
        const la_int64_t from = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? static_cast<la_int64_t>(reader.at_) : size;
        if (from + offset < 0) return ARCHIVE_FATAL;
        reader.at_ = static_cast<std::uint64_t>(from + offset);
        return static_cast<la_int64_t>(reader.at_);
    }
    static la_int64_t Skip(archive*, void* self, la_int64_t request) {
        auto& reader = *static_cast<ArchiveReader*>(self);
        const auto left = static_cast<la_int64_t>(reader.file_.Size() - std::min(reader.at_, reader.file_.Size()));
        const la_int64_t skipped = std::clamp<la_int64_t>(request, 0, left);
        reader.at_ += static_cast<std::uint64_t>(skipped);
        return skipped;
    }

    InputFile& file_;
    const std::string& shown_;
    // Freed however the constructor ends, a failed open included.
    std::unique_ptr<archive, int (*)(archive*)> owned_;
    archive* archive_;
    std::uint64_t at_ = 0;
    std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(64 * 1024);
    std::exception_ptr failure_;
};

// What the first pass learns of an entry.
struct Entry {
    std::string name;  // with '/' between folders, as archives keep it
    std::size_t index = 0;
    bool encrypted = false;
    std::array<std::uint8_t, kRecognisedBytes> head{};
    std::size_t headSize = 0;
};

// What an archiver or a file manager adds that is nobody's file.
bool Clutter(const std::string& name) {
    const std::string base = LowerAscii(BaseName(name));
    return name.starts_with("__MACOSX/") || base.starts_with("._") || base == ".ds_store" || base == "thumbs.db" ||
           base == "desktop.ini";
}

bool IsPatch(const Entry& entry) {
    if (entry.encrypted) return LooksLikePatch(entry.name, std::nullopt);
    return LooksLikePatch(entry.name, std::span<const std::uint8_t>(entry.head.data(), entry.headSize));
}

// Readmes, pictures, documents and checksum lists, by name or by content.
bool IsNoRom(const Entry& entry) {
    static const std::string_view kNotRoms[] = {"txt", "nfo", "diz", "md", "1st", "me", "htm", "html", "pdf",
                                                "doc", "docx", "rtf", "odt", "png", "jpg", "jpeg", "gif", "bmp",
                                                "webp", "ico", "url", "sfv", "md5", "sha1", "crc", "json", "xml",
                                                "ini", "log", "zip", "7z", "rar"};
    const std::string extension = LowerExtension(entry.name);
    if (std::find(std::begin(kNotRoms), std::end(kNotRoms), extension) != std::end(kNotRoms)) return true;
    const std::span<const std::uint8_t> head(entry.head.data(), entry.headSize);
    for (std::string_view magic : {std::string_view("\x89PNG"), std::string_view("\xFF\xD8\xFF"),
                                   std::string_view("GIF8"), std::string_view("%PDF"), std::string_view("{\\rtf")})
        if (StartsWith(head, magic)) return true;
    return std::any_of(std::begin(kArchiveMagics), std::end(kArchiveMagics),
                       [&](std::string_view magic) { return StartsWith(head, magic); });
}

bool Fits(const Entry& entry, Wanted wanted) {
    if (entry.encrypted) return wanted == Wanted::Patch ? IsPatch(entry) : !IsNoRom(entry);
    return wanted == Wanted::Patch ? IsPatch(entry) : !IsPatch(entry) && !IsNoRom(entry);
}

// Every file in the archive, each with its first bytes.
std::vector<Entry> ListEntries(InputFile& file, const std::string& shown) {
    std::uint8_t head[kEmptyZip.size()] = {};
    if (file.ReadAt(0, head) == sizeof head && std::memcmp(head, kEmptyZip.data(), sizeof head) == 0) return {};
    ArchiveReader reader(file, shown);
    std::vector<Entry> entries;
    std::size_t index = 0;
    for (archive_entry* header; (header = reader.Next()) != nullptr; ++index) {
        if (archive_entry_filetype(header) != AE_IFREG) continue;
        const char* name = archive_entry_pathname_utf8(header);
        if (name == nullptr) name = archive_entry_pathname(header);
        Entry entry{name != nullptr ? name : "", index};
        std::replace(entry.name.begin(), entry.name.end(), '\\', '/');
        if (Clutter(entry.name)) continue;
        entry.encrypted = archive_entry_is_data_encrypted(header) != 0;
        if (!entry.encrypted) {
            for (std::size_t got; entry.headSize < entry.head.size() &&
                                  (got = reader.Read(std::span(entry.head).subspan(entry.headSize))) > 0;)
                entry.headSize += got;
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

// Names in an archive compared as a person means them: '\' for '/', no
// leading "./" or "/", letters' case only where nothing matches exactly.
std::string Normal(std::string name) {
    std::replace(name.begin(), name.end(), '\\', '/');
    while (name.starts_with("./") || name.starts_with("/")) name.erase(0, name.starts_with("/") ? 1 : 2);
    while (name.ends_with("/")) name.pop_back();
    return name;
}

std::string Listed(const std::vector<const Entry*>& entries) {
    constexpr std::size_t kListed = 20;
    std::string list;
    for (std::size_t i = 0; i < entries.size() && i < kListed; ++i) list += "\n  " + entries[i]->name;
    if (entries.size() > kListed) list += "\n  ... and " + std::to_string(entries.size() - kListed) + " more";
    return list;
}

// The entry taken, unless another has the same name: which one is meant
// cannot be told.
const Entry* Unique(const std::vector<Entry>& entries, const Entry* chosen, const std::string& archivePath) {
    const auto same = std::count_if(entries.begin(), entries.end(), [&](const Entry& e) { return e.name == chosen->name; });
    if (same > 1)
        throw FileError("Cannot read " + archivePath + ": the archive holds " + std::to_string(same) + " files named " +
                        chosen->name + ", so which one is meant cannot be told");
    return chosen;
}

// The entry `inside` names, or the one file of the kind wanted in the whole
// archive (inside empty) or in the folder `inside` names.
const Entry* Choose(const std::vector<Entry>& entries, const std::string& path, const std::string& archivePath,
                    const std::string& inside, Wanted wanted) {
    const std::string named = Normal(inside);
    if (!named.empty()) {
        for (const bool exact : {true, false})
            for (const Entry& entry : entries)
                if (exact ? entry.name == named : LowerAscii(Normal(entry.name)) == LowerAscii(named))
                    return Unique(entries, &entry, archivePath);
    }
    const std::string folder = named.empty() ? "" : named + "/";
    std::vector<const Entry*> within, candidates;
    for (const Entry& entry : entries) {
        if (!LowerAscii(Normal(entry.name)).starts_with(LowerAscii(folder))) continue;
        within.push_back(&entry);
        if (Fits(entry, wanted)) candidates.push_back(&entry);
    }
    const std::string where = archivePath + (named.empty() ? "" : " (in " + named + ")");
    const std::string_view kind = wanted == Wanted::Patch ? "patch" : "file that could be the ROM";
    if (!named.empty() && within.empty())
        throw FileError("Cannot read " + path + ": the archive " + archivePath + " holds no " +
                        named + "; it holds:" + Listed([&] {
                            std::vector<const Entry*> all;
                            for (const Entry& entry : entries) all.push_back(&entry);
                            return all;
                        }()));
    if (candidates.size() == 1) return Unique(entries, candidates.front(), archivePath);
    if (candidates.empty())
        throw FileError("Cannot read " + where + ": the archive holds no " + std::string(kind) +
                        (within.empty() ? ", nothing at all" : "; it holds:" + Listed(within)));
    for (const Entry* candidate : candidates) Unique(entries, candidate, archivePath);
    const char separator = archivePath.find('\\') != std::string::npos && archivePath.find('/') == std::string::npos
                               ? '\\'
                               : '/';
    std::string example = candidates.front()->name;
    if (separator == '\\') std::replace(example.begin(), example.end(), '/', '\\');
    throw FileError("Cannot read " + where + ": the archive holds " + std::to_string(candidates.size()) + " " +
                    (wanted == Wanted::Patch ? "patches" : "files that could be the ROM") + ":" + Listed(candidates) +
                    "\nName the one to use through the archive, as through a folder: " + archivePath + separator +
                    example);
}

// The chosen entry's bytes, read in a second pass: what libarchive inflates
// is held to the size the archive states, so a lying entry cannot fill the
// disk.
std::unique_ptr<InputFile> Unpack(HostServices& host, InputFile& file, const std::string& archivePath,
                                  const Entry& chosen, const std::string& shown, const std::string& beside) {
    const std::string entryName = archivePath + "/" + chosen.name;
    if (chosen.encrypted)
        throw FileError("Cannot read " + entryName +
                        ": it is encrypted (the archive has a password), and ZelkPatcher takes no passwords: "
                        "unpack it with your archiver first");
    ArchiveReader reader(file, archivePath);
    archive_entry* header = nullptr;
    for (std::size_t index = 0; index <= chosen.index; ++index)
        if ((header = reader.Next()) == nullptr) throw ChangedWhileRead(file);
    if (archive_entry_is_data_encrypted(header)) throw ChangedWhileRead(file);
    std::optional<std::uint64_t> stated;
    if (archive_entry_size_is_set(header)) stated = static_cast<std::uint64_t>(std::max<la_int64_t>(archive_entry_size(header), 0));
    const std::uint64_t limit = std::min(stated.value_or(kLargestEntry), kLargestEntry);
    if (stated && *stated > kLargestEntry)
        throw FileError("Cannot read " + entryName + ": it states " + std::to_string(*stated) +
                        " bytes, more than any ROM or patch holds");
    std::shared_ptr<ScratchFile> scratch =
        stated && *stated <= kInMemory ? MemoryScratch(shown) : host.CreateScratch(beside, shown);
    std::vector<std::uint8_t> buffer(256 * 1024);
    for (std::size_t got; (got = reader.Read(buffer)) > 0;) {
        if (scratch->Size() + got > limit) {
            if (stated)
                throw FileError("Cannot read " + entryName + ": it inflates past its stated size (" +
                                text::CountOf(*stated) + "), so the archive is damaged or made to fill the disk");
            throw FileError("Cannot read " + entryName + ": it inflates past " + text::CountOf(kLargestEntry) +
                            ", more than any ROM or patch holds");
        }
        scratch->Append({buffer.data(), got});
    }
    if (stated && scratch->Size() != *stated)
        reader.Damaged("the archive is damaged: " + chosen.name + " holds " + text::CountOf(scratch->Size()) +
                       " of the " + text::CountOf(*stated) + " it states");
    return ReadScratch(std::move(scratch), shown);
}

// Where `path` lies: a file (nothing inside), or a file inside an archive
// named through it.
struct Location {
    std::string archivePath;
    std::string inside;
};

Location Locate(HostServices& host, const std::string& path) {
    const std::optional<std::string> problem = host.InputProblem(path);
    if (problem && problem->empty()) {
        for (std::size_t cut = path.find_first_of("/\\", 1); cut != std::string::npos;
             cut = path.find_first_of("/\\", cut + 1)) {
            if (!host.FileExists(path.substr(0, cut))) continue;
            if (!IsArchive(*host.OpenInput(path.substr(0, cut)))) break;
            return {path.substr(0, cut), path.substr(cut + 1)};
        }
    }
    return {path, {}};
}

}  // namespace

bool IsArchiveFile(InputFile& file) { return IsArchive(file); }

void StreamEntries(InputFile& file, const std::string& shown, const std::function<bool(const std::string&)>& wanted,
                   const std::function<void(const std::string&, const std::function<std::size_t(std::span<std::uint8_t>)>&)>& take) {
    std::uint8_t head[kEmptyZip.size()] = {};
    if (file.ReadAt(0, head) == sizeof head && std::memcmp(head, kEmptyZip.data(), sizeof head) == 0) return;
    ArchiveReader reader(file, shown);
    for (archive_entry* header; (header = reader.Next()) != nullptr;) {
        if (archive_entry_filetype(header) != AE_IFREG || archive_entry_is_data_encrypted(header)) continue;
        const char* name = archive_entry_pathname_utf8(header);
        if (name == nullptr) name = archive_entry_pathname(header);
        std::string entry = name != nullptr ? name : "";
        std::replace(entry.begin(), entry.end(), '\\', '/');
        if (Clutter(entry) || !wanted(entry)) continue;
        take(entry, [&](std::span<std::uint8_t> buffer) { return reader.Read(buffer); });
    }
}

std::vector<std::string> ArchiveChoices(HostServices& host, const std::string& path, Wanted wanted) {
    if (!host.FileExists(path)) return {};
    auto file = host.OpenInput(path);
    if (!IsArchive(*file)) return {};
    std::vector<std::string> choices;
    for (const Entry& entry : ListEntries(*file, path))
        if (Fits(entry, wanted)) choices.push_back(entry.name);
    if (choices.size() < 2) choices.clear();
    return choices;
}

bool AsItIs(InputFile&) { return true; }

std::string FileHolding(HostServices& host, const std::string& path) { return Locate(host, path).archivePath; }

std::optional<Stop> RefuseOutputOverPatch(HostServices& host, const std::string& outputPath,
                                          const std::vector<std::string>& patchPaths) {
    for (const std::string& patchPath : patchPaths) {
        if (host.SameFile(FileHolding(host, patchPath), outputPath)) return Stop{text::OutputIsPatch(outputPath, patchPath)};
    }
    return std::nullopt;
}

std::optional<Stop> CheckSource(HostServices& host, const std::string& path) {
    return CheckInput(host, Locate(host, path).archivePath);
}

std::optional<Stop> OpenSource(HostServices& host, const std::string& path, Wanted wanted, const std::string& beside,
                               std::unique_ptr<InputFile>& opened, const std::function<bool(InputFile&)>& asItIs) {
    const Location at = Locate(host, path);
    if (auto stop = CheckInput(host, at.archivePath)) return stop;
    auto file = host.OpenInput(at.archivePath);
    if (at.inside.empty() && (!IsArchive(*file) || (asItIs && asItIs(*file)))) {
        opened = std::move(file);
        return std::nullopt;
    }
    const std::vector<Entry> entries = ListEntries(*file, at.archivePath);
    const Entry* chosen = Choose(entries, path, at.archivePath, at.inside, wanted);
    opened = Unpack(host, *file, at.archivePath, *chosen, path, beside);
    return std::nullopt;
}

}  // namespace zelk
