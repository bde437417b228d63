#include "engine/archive_output.h"

#include <archive.h>
#include <archive_entry.h>

#include <memory>
#include <vector>

namespace zelk {

namespace {

struct Sink {
    OutputFile* output = nullptr;
    std::string failure;  // what the output threw, told once libarchive has given up
};

la_ssize_t WriteToOutput(archive*, void* data, const void* bytes, size_t length) {
    auto& sink = *static_cast<Sink*>(data);
    try {
        sink.output->Append({static_cast<const std::uint8_t*>(bytes), length});
        return static_cast<la_ssize_t>(length);
    } catch (const std::exception& failure) {
        sink.failure = FailureText(failure);
        return -1;
    }
}

struct Closer {
    void operator()(archive* a) const { archive_write_free(a); }
};
struct EntryFreer {
    void operator()(archive_entry* e) const { archive_entry_free(e); }
};

}  // namespace

std::optional<Stop> WriteZip(HostServices& host, const std::string& zipPath, const std::vector<ZipMember>& members) {
    std::vector<std::unique_ptr<InputFile>> inputs;
    for (const ZipMember& member : members) {
        if (auto stop = CheckInput(host, member.path)) return stop;
        inputs.push_back(host.OpenInput(member.path));
    }
    const std::unique_ptr<OutputFile> output = host.CreateOutput(zipPath);
    Sink sink{output.get(), {}};
    const std::unique_ptr<archive, Closer> zip(archive_write_new());
    const auto check = [&](int status) {
        if (status >= ARCHIVE_WARN) return;
        if (!sink.failure.empty()) throw FileError(sink.failure);
        const char* said = archive_error_string(zip.get());
        throw FileError("Could not write " + zipPath + ": " + (said != nullptr ? said : "the zip writer failed"));
    };
    check(archive_write_set_format_zip(zip.get()));
    check(archive_write_set_options(zip.get(), "zip:compression=deflate"));
    // A zip is its own length: no padding of the last block.
    check(archive_write_set_bytes_in_last_block(zip.get(), 1));
    check(archive_write_open(zip.get(), &sink, nullptr, WriteToOutput, nullptr));
    std::vector<std::uint8_t> buffer(host.Buffers().stream);
    for (std::size_t k = 0; k < members.size(); ++k) {
        InputFile& input = *inputs[k];
        const std::unique_ptr<archive_entry, EntryFreer> entry(archive_entry_new());
        archive_entry_set_pathname_utf8(entry.get(), members[k].name.c_str());
        archive_entry_set_filetype(entry.get(), AE_IFREG);
        archive_entry_set_perm(entry.get(), 0644);
        archive_entry_set_size(entry.get(), static_cast<la_int64_t>(input.Size()));
        check(archive_write_header(zip.get(), entry.get()));
        input.ExpectSequential();
        for (std::uint64_t at = 0; at < input.Size();) {
            const std::size_t got = input.ReadAt(at, buffer);
            if (got == 0) throw ShrankWhileRead(input);
            if (archive_write_data(zip.get(), buffer.data(), got) != static_cast<la_ssize_t>(got)) check(ARCHIVE_FATAL);
            at += got;
        }
    }
    check(archive_write_close(zip.get()));
    inputs.clear();
    CommitOutput(host, *output);
    return std::nullopt;
}

}  // namespace zelk
