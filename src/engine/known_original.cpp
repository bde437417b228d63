#include "engine/known_original.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>

#include "engine/archive_input.h"
#include "engine/patch_chain.h"
#include "engine/user_texts.h"
#include "host/forwarding_host.h"

namespace zelk {

namespace {

template <std::size_t N>
std::optional<std::array<std::uint8_t, N>> HexField(const std::string& digits, const std::string& name,
                                                    const char* what) {
    if (digits.empty()) return std::nullopt;
    std::array<std::uint8_t, N> bytes{};
    if (!text::FromHex(digits, bytes))
        throw std::invalid_argument(name + ": the " + what + " must be " + std::to_string(2 * N) + " hex digits");
    return bytes;
}

// The ROMs a hack needs, a line each, for the refusal.
std::string Needed(const std::vector<KnownOriginal>& known) {
    std::string said = known.size() == 1 ? "This hack needs:" : "This hack needs one of:";
    for (const KnownOriginal& rom : known) {
        said += "\n  " + rom.name;
        std::string facts;
        if (rom.size) facts += text::CountOf(*rom.size);
        if (rom.crc) facts += (facts.empty() ? "CRC-32 " : ", CRC-32 ") + text::Crc(*rom.crc);
        if (facts.empty() && rom.md5) facts = "MD5 " + text::Hex(*rom.md5);
        if (facts.empty() && rom.sha1) facts = "SHA-1 " + text::Hex(*rom.sha1);
        said += " (" + facts + ")";
    }
    return said;
}

// The file chosen, opened as the result reads it: through the view that is
// the hack's original, for every reader the operation opens, under the path
// the user chose; the result written behind the header it keeps and given
// back its byte order, which is then said.
class ViewingHost final : public ForwardingHost {
public:
    ViewingHost(HostServices& host, std::shared_ptr<InputFile> file, View view, std::string romPath,
                std::string outputPath)
        : ForwardingHost(host), file_(std::move(file)), view_(std::move(view)), romPath_(std::move(romPath)),
          outputPath_(std::move(outputPath)) {}
    bool FileExists(const std::string& path) override { return path == romPath_ || host_.FileExists(path); }
    std::optional<std::string> InputProblem(const std::string& path) override {
        return path == romPath_ ? std::nullopt : host_.InputProblem(path);
    }
    std::unique_ptr<InputFile> OpenInput(const std::string& path) override {
        if (path != romPath_) return host_.OpenInput(path);
        return std::make_unique<Viewed>(file_, view_);
    }
    std::unique_ptr<OutputFile> CreateOutput(const std::string& path) override {
        auto output = host_.CreateOutput(path);
        if (path != outputPath_) return output;
        return std::make_unique<Kept>(std::move(output), *file_, view_, [this] {
            host_.ShowMessage(ViewTaken(view_, romPath_), MessageStyle::Plain);
        });
    }

private:
    class Viewed final : public InputFile {
    public:
        Viewed(std::shared_ptr<InputFile> file, const View& view) : file_(std::move(file)), viewed_(*file_, view) {}
        std::uint64_t Size() const override { return viewed_.Size(); }
        std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
            return viewed_.ReadAt(offset, buffer);
        }
        const std::string& Path() const override { return viewed_.Path(); }
        void ExpectSequential() override { viewed_.ExpectSequential(); }

    private:
        std::shared_ptr<InputFile> file_;
        ViewedInput viewed_;
    };
    // The header kept in front, the byte order given back before the
    // result replaces anything.
    class Kept final : private OwnedOutput, public ShiftedOutput {
    public:
        Kept(std::unique_ptr<OutputFile> output, InputFile& file, const View& view, std::function<void()> said)
            : OwnedOutput{std::move(output)}, ShiftedOutput(*owned, view.skip), view_(view), said_(std::move(said)) {
            if (view.skip > 0) owned->AppendFrom(file, 0, view.skip);
        }
        void Commit() override {
            if (view_.order != Reorder::None) ReorderOutput(*owned, view_.skip, view_.order);
            owned->Commit();
            said_();
        }

    private:
        View view_;
        std::function<void()> said_;
    };

    std::shared_ptr<InputFile> file_;
    View view_;
    std::string romPath_;
    std::string outputPath_;
};

}  // namespace

bool KnownOriginal::Matches(const FileHashes& hashes) const {
    return (!size || *size == hashes.size) && (!crc || *crc == hashes.crc) && (!md5 || *md5 == hashes.md5) &&
           (!sha1 || *sha1 == hashes.sha1);
}

std::vector<KnownOriginal> ReadKnownOriginals(const std::string& lines) {
    std::vector<KnownOriginal> known;
    for (const std::string& line : text::Split(lines, '\n')) {
        if (line.empty()) continue;
        const std::vector<std::string> fields = text::Split(line, '\t');
        if (fields.size() != 5) throw std::invalid_argument("an entry must give a name, a size and three hashes");
        KnownOriginal rom;
        rom.name = fields[0];
        if (!fields[1].empty()) {
            if (!std::all_of(fields[1].begin(), fields[1].end(), [](char c) { return c >= '0' && c <= '9'; }) ||
                fields[1].size() > 16)
                throw std::invalid_argument(rom.name + ": the size must be a whole number of bytes");
            rom.size = std::stoull(fields[1]);
        }
        if (const auto crc = HexField<4>(fields[2], rom.name, "CRC-32"))
            rom.crc = std::uint32_t{(*crc)[0]} << 24 | std::uint32_t{(*crc)[1]} << 16 | std::uint32_t{(*crc)[2]} << 8 |
                      (*crc)[3];
        rom.md5 = HexField<16>(fields[3], rom.name, "MD5");
        rom.sha1 = HexField<20>(fields[4], rom.name, "SHA-1");
        if (!rom.crc && !rom.md5 && !rom.sha1)
            throw std::invalid_argument(rom.name + ": give at least one of its CRC-32, MD5 and SHA-1");
        known.push_back(std::move(rom));
    }
    return known;
}

Recognised RecogniseOriginal(InputFile& file, const std::vector<KnownOriginal>& known) {
    Recognised found;
    const auto find = [&](const FileHashes& hashes) {
        for (std::size_t k = 0; k < known.size() && !found.entry; ++k)
            if (known[k].Matches(hashes)) found.entry = k;
        return found.entry.has_value();
    };
    found.hashes = HashesOf(file);
    if (!find(found.hashes)) found.view = FirstView(file, [&](InputFile& viewed) { return find(HashesOf(viewed)); });
    return found;
}

std::optional<Stop> HashRom(HostServices& host, const std::string& path, FileHashes& hashes) {
    std::unique_ptr<InputFile> file;
    if (auto stop = OpenSource(host, path, Wanted::Rom, {}, file)) return stop;
    hashes = HashesOf(*file);
    return std::nullopt;
}

Outcome ApplyToKnownOriginal(HostServices& host, const std::string& romPath, const std::vector<KnownOriginal>& known,
                             const std::vector<std::string>& patchPaths, const std::string& outputPath,
                             bool* refusedForChecksum) {
    std::shared_ptr<InputFile> file;
    Recognised found;
    const Outcome looked = RunOperation(host, {}, [&]() -> std::optional<Stop> {
        std::unique_ptr<InputFile> opened;
        if (auto stop = OpenSource(host, romPath, Wanted::Rom, outputPath, opened)) return stop;
        file = std::move(opened);
        found = RecogniseOriginal(*file, known);
        if (found.entry) return std::nullopt;
        if (refusedForChecksum != nullptr) *refusedForChecksum = true;
        Stop stop{romPath + " is not a ROM this hack is made for. " + Needed(known) + "\nThe file chosen:\n" +
                  text::HashLines(found.hashes)};
        stop.checksum = true;
        return stop;
    }, false);
    if (looked != Outcome::Done) return looked;
    if (!found.view) {
        file.reset();
        return ApplyPatches(host, romPath, patchPaths, outputPath, {}, refusedForChecksum);
    }
    ViewingHost viewing(host, std::move(file), *found.view, romPath, outputPath);
    return ApplyPatches(viewing, romPath, patchPaths, outputPath, {}, refusedForChecksum);
}

}  // namespace zelk
