#include "test_support.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <fstream>
#include <random>

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

#include "engine/patch_format.h"

namespace zelk::test {

// An archive written by libarchive, as an archiver would write it.
Bytes MakeArchive(Kind kind, const std::vector<Member>& members) {
    archive* a = archive_write_new();
    if (kind == Kind::SevenZip) {
        archive_write_set_format_7zip(a);
    } else {
        archive_write_set_format_zip(a);
        archive_write_set_options(a, kind == Kind::ZipStored ? "zip:compression=store" : "zip:compression=deflate");
        if (kind == Kind::ZipEncrypted) {
            archive_write_set_options(a, "zip:encryption=zipcrypt");
            archive_write_set_passphrase(a, "secret");
        }
    }
    Bytes out(4 << 20);
    std::size_t used = 0;
    if (archive_write_open_memory(a, out.data(), out.size(), &used) != ARCHIVE_OK)
        throw std::runtime_error(archive_error_string(a));
    for (const Member& m : members) {
        archive_entry* e = archive_entry_new();
        archive_entry_set_pathname(e, m.name.c_str());
        archive_entry_set_filetype(e, AE_IFREG);
        archive_entry_set_perm(e, 0644);
        archive_entry_set_size(e, static_cast<la_int64_t>(m.bytes.size()));
        if (archive_write_header(a, e) != ARCHIVE_OK) throw std::runtime_error(archive_error_string(a));
        if (archive_write_data(a, m.bytes.data(), m.bytes.size()) != static_cast<la_ssize_t>(m.bytes.size()))
            throw std::runtime_error(archive_error_string(a));
        archive_entry_free(e);
    }
    archive_write_close(a);
    archive_write_free(a);
    out.resize(used);
    return out;
}


Bytes Random(std::size_t size, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes bytes(size);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    return bytes;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes Int32(std::int32_t value) {
    const auto u = static_cast<std::uint32_t>(value);
    return {static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(u >> 8), static_cast<std::uint8_t>(u >> 16),
            static_cast<std::uint8_t>(u >> 24)};
}

Bytes Text(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes PatchBytes(const std::vector<std::pair<std::int32_t, Bytes>>& blocks, std::string_view comment) {
    Bytes body;
    for (const auto& [offset, data] : blocks)
        body = Concat({body, Int32(offset), Int32(static_cast<std::int32_t>(data.size())), data});
    const auto commentPos = static_cast<std::int32_t>(kHeaderSize + body.size() + 1);
    return Concat({Text(PatchMagic), Int32(commentPos), body, Text(comment)});
}

::testing::AssertionResult CannotWrite(const RecordedMessage& message, const std::string& path,
                                       const std::string& posixReason) {
    const std::string start = "Cannot write " + path + ": ";
#ifdef _WIN32
    (void)posixReason;
    const bool ok = message.text.rfind(start, 0) == 0 && message.text.size() > start.size();
#else
    const bool ok = message.text == start + posixReason;
#endif
    if (ok && message.style == MessageStyle::Critical) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "message: " << message.text;
}

namespace {

// Removes a test's folder, files a test made read-only included: Windows
// deletes none of those, and a folder left behind would fail the next test
// that gets the same process id.
void RemoveTree(const std::filesystem::path& dir) {
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_write,
                                     std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(dir, ec);
}

}  // namespace

void FileTest::SetUp() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    std::replace(name.begin(), name.end(), '/', '_');
    dir_ = std::filesystem::temp_directory_path() / ("zelk-test-" + std::to_string(::getpid())) / name;
    RemoveTree(dir_);
    std::filesystem::create_directories(dir_);
}

void FileTest::TearDown() { RemoveTree(dir_); }

Bytes FileTest::WriteThreeVersions() const {
    const Bytes a = Random(70000, 4);
    Bytes b = a;
    b[100] ^= 1;
    Bytes c = b;
    c[60000] ^= 2;
    Write("a.rom", a), Write("b.rom", b), Write("c.rom", c);
    return c;
}

std::string FileTest::Write(const std::string& name, const Bytes& bytes) const {
    std::ofstream out(dir_ / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("test could not write " + name);
    return Path(name);
}

Bytes FileTest::Read(const std::string& name) const {
    std::ifstream in(dir_ / name, std::ios::binary);
    if (!in) throw std::runtime_error("test could not read " + name);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> FileTest::Listing() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
        const std::u8string name = entry.path().filename().u8string();
        names.emplace_back(name.begin(), name.end());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> FileTest::Temporaries() const {
    std::vector<std::string> found;
    for (const auto& name : Listing())
        if (name.find(".zelk-") != std::string::npos) found.push_back(name);
    return found;
}

}  // namespace zelk::test
