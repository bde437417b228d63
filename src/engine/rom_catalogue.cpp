#include "engine/rom_catalogue.h"

#include <expat.h>

#include <boost/spirit/home/x3.hpp>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>
#include <numeric>
#include <random>

#include "engine/archive_input.h"
#include "engine/file_names.h"
#include "engine/formats/rom_views.h"
#include "engine/user_texts.h"

namespace zelk {

namespace {

// Larger than any DAT published (Redump's largest are tens of MiB): a
// larger file is none, and its parser's memory stays bounded.
constexpr std::uint64_t kLargestDat = 256 << 20;
std::string LargerThanAnyDat() { return "it is larger than any DAT (more than " + text::CountOf(kLargestDat) + ")"; }

// What a DAT gives of one ROM, as text (absent: null).
struct RomFields {
    std::optional<std::string_view> file, size, crc, md5, sha1;
};

// One ROM of `game`; a problem where a value is not what it should be.
std::string TakeRom(const std::string& game, const RomFields& fields, std::vector<KnownRom>& roms) {
    const auto& [file, size, crc, md5, sha1] = fields;
    KnownRom rom{game, std::string(file.value_or("")), {}, {}, {}, {}, {}};
    if (size) {
        std::uint64_t value = 0;
        const auto [end, failed] = std::from_chars(size->data(), size->data() + size->size(), value);
        if (failed != std::errc() || end != size->data() + size->size())
            return "the size of " + game + " is not a number (\"" + std::string(*size) + "\")";
        rom.size = value;
    }
    if (crc) {
        std::array<std::uint8_t, 4> bytes{};
        if (!text::FromHex(*crc, bytes)) return "the CRC-32 of " + game + " is not 8 hex digits (\"" + std::string(*crc) + "\")";
        rom.crc = std::uint32_t{bytes[0]} << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3];
    }
    if (md5 && !text::FromHex(*md5, rom.md5.emplace()))
        return "the MD5 of " + game + " is not 32 hex digits (\"" + std::string(*md5) + "\")";
    if (sha1 && !text::FromHex(*sha1, rom.sha1.emplace()))
        return "the SHA-1 of " + game + " is not 40 hex digits (\"" + std::string(*sha1) + "\")";
    if (rom.sha1 || rom.md5 || (rom.size && rom.crc)) roms.push_back(std::move(rom));
    return {};
}

// What a DAT gives: its own name, and each game's roms with their hashes,
// added to the catalogue's as they are read.
struct DatContent {
    std::vector<KnownRom>& roms;
    std::string datName, problem;
};

// A Logiqx datafile read as expat hands it over.
struct Reader {
    explicit Reader(DatContent& content) : out(content) {}
    DatContent& out;
    XML_Parser parser = nullptr;
    std::string game;
    // How deep we are, and whether in the header's name (datafile, header,
    // name: depth 3).
    std::size_t depth = 0;
    bool inHeader = false, inName = false;
    std::string text;  // the character data of the header's name

    void Fail(std::string why) {
        if (out.problem.empty()) out.problem = std::move(why);
        XML_StopParser(parser, XML_FALSE);
    }

    static void Start(void* self, const XML_Char* name, const XML_Char** attributes) {
        auto& r = *static_cast<Reader*>(self);
        const std::string_view element(name);
        if (r.depth == 0 && element != "datafile")
            return r.Fail("it is XML, but not a DAT (its root is <" + std::string(element) + ">)");
        ++r.depth;
        if (r.depth == 2) r.inHeader = element == "header";
        if (r.depth == 3 && r.inHeader && element == "name") {
            r.inName = true;
            r.text.clear();
        }
        const auto attribute = [&](std::string_view wanted) -> std::optional<std::string_view> {
            for (const XML_Char** a = attributes; *a != nullptr; a += 2)
                if (wanted == a[0]) return a[1];
            return std::nullopt;
        };
        if (r.depth == 2 && (element == "game" || element == "machine")) {
            r.game = attribute("name").value_or("");
        } else if (element == "rom" && !r.game.empty()) {
            const RomFields fields{attribute("name"), attribute("size"), attribute("crc"), attribute("md5"), attribute("sha1")};
            std::string problem = TakeRom(r.game, fields, r.out.roms);
            if (!problem.empty()) r.Fail(std::move(problem));
        }
    }

    static void End(void* self, const XML_Char*) {
        auto& r = *static_cast<Reader*>(self);
        if (r.inName && r.depth == 3) {
            r.out.datName = r.text;
            r.inName = false;
        }
        if (r.depth > 0) --r.depth;
    }

    static void Text(void* self, const XML_Char* s, int length) {
        auto& r = *static_cast<Reader*>(self);
        if (r.inName && r.depth == 3 && r.text.size() < 4096)
            r.text.append(s, static_cast<std::size_t>(std::min(length, 4096)));
    }

    // No DAT declares entities: one that does is built to make its reader
    // expand them without end.
    static void Entity(void* self, const XML_Char*, int, const XML_Char*, int, const XML_Char*, const XML_Char*,
                       const XML_Char*, const XML_Char*) {
        static_cast<Reader*>(self)->Fail("it declares entities, which no DAT needs");
    }
};

// Reads a Logiqx DAT whose first `first` bytes are in `buffer`, the rest
// from `read`; an empty string, or why it is not one.
std::string ReadLogiqx(DatContent& content, std::vector<std::uint8_t>& buffer, std::size_t first,
                       const std::function<std::size_t(std::span<std::uint8_t>)>& read) {
    Reader reader(content);
    const std::unique_ptr<std::remove_pointer_t<XML_Parser>, void (*)(XML_Parser)> parser(XML_ParserCreate("UTF-8"),
                                                                                          XML_ParserFree);
    if (!parser) throw std::bad_alloc();
    reader.parser = parser.get();
    XML_SetUserData(parser.get(), &reader);
    XML_SetElementHandler(parser.get(), Reader::Start, Reader::End);
    XML_SetCharacterDataHandler(parser.get(), Reader::Text);
    XML_SetEntityDeclHandler(parser.get(), Reader::Entity);
    // The salt of its name tables, against names made to collide, from the
    // system's own random source: left to itself, expat reads a device the
    // page's build has none of.
    XML_SetHashSalt(parser.get(), static_cast<unsigned long>(std::random_device{}()));
    std::uint64_t total = 0;
    for (std::size_t got = first;; got = read(buffer)) {
        total += got;
        if (total > kLargestDat) return LargerThanAnyDat();
        const bool last = got == 0;
        if (XML_Parse(parser.get(), reinterpret_cast<const char*>(buffer.data()), static_cast<int>(got),
                      last ? XML_TRUE : XML_FALSE) != XML_STATUS_OK) {
            if (!content.problem.empty()) return content.problem;
            return "it is not a DAT this reads (line " + std::to_string(XML_GetCurrentLineNumber(parser.get())) + ": " +
                   XML_ErrorString(XML_GetErrorCode(parser.get())) + ")";
        }
        if (last) break;
    }
    return {};
}

// clrmamepro's text form: `key value` pairs, a value a word, a quoted text
// or a group of pairs in parentheses. The grammar is Spirit's; what the
// pairs mean is gathered here as they are found.
struct TextDat {
    explicit TextDat(DatContent& content) : out(content) {}
    DatContent& out;
    static constexpr std::size_t kDeepest = 8;  // a DAT nests two deep; deeper is built to exhaust the stack
    std::vector<std::string> groups;             // the keys of the groups we are in
    std::string key, game;
    RomFields rom;
    bool sawDat = false;

    bool Open() {
        if (groups.size() >= kDeepest) {
            out.problem = "it nests its groups deeper than any DAT";
            return false;
        }
        groups.push_back(key);
        if (groups.size() == 1) game.clear();
        if (groups.size() == 2 && key == "rom") rom = {};
        return true;
    }
    bool Close() {
        if (groups.size() == 2 && groups[1] == "rom" && !game.empty())
            if (out.problem = TakeRom(game, rom, out.roms); !out.problem.empty()) return false;
        if (groups.size() == 1) sawDat = sawDat || groups[0] == "clrmamepro" || !game.empty();
        groups.pop_back();
        return true;
    }
    void Value(std::string_view value) {
        if (groups.size() == 1 && key == "name") (groups[0] == "clrmamepro" ? out.datName : game) = value;
        if (groups.size() != 2 || groups[1] != "rom") return;
        if (key == "name") rom.file = value;
        else if (key == "size") rom.size = value;
        else if (key == "crc") rom.crc = value;
        else if (key == "md5") rom.md5 = value;
        else if (key == "sha1") rom.sha1 = value;
    }
};

namespace grammar {
namespace x3 = boost::spirit::x3;
struct dat_tag;
TextDat& Dat(const auto& context) { return x3::get<dat_tag>(context).get(); }
std::string_view Text(const auto& range) { return {&*range.begin(), static_cast<std::size_t>(range.size())}; }
const auto key = [](auto& c) { Dat(c).key = Text(x3::_attr(c)); };
const auto value = [](auto& c) { Dat(c).Value(Text(x3::_attr(c))); };
const auto open = [](auto& c) { x3::_pass(c) = Dat(c).Open(); };
const auto close = [](auto& c) { x3::_pass(c) = Dat(c).Close(); };
const x3::rule<class group_> group = "group";
// Blanks by a set of their own: the library's classes ask the C library,
// whose answer for a byte of UTF-8 (a negative char) is undefined.
const auto blank = x3::char_(" \t\r\n\f\v");
const auto word = x3::raw[x3::lexeme[+(x3::char_ - x3::char_(" \t\r\n\f\v()\""))]];
const auto quoted = x3::lexeme['"' >> x3::raw[*(x3::char_ - '"')] >> '"'];
const auto pair = word[key] >> (group | quoted[value] | word[value]);
const auto group_def = x3::lit('(')[open] >> *pair >> x3::lit(')')[close];
BOOST_SPIRIT_DEFINE(group)
const auto dat = *pair;
}  // namespace grammar

// Reads a clrmamepro DAT whose first `first` bytes are in `buffer`, the
// rest from `read`: an empty string, or why it is not one.
std::string ReadClrmamepro(DatContent& content, std::vector<std::uint8_t>& buffer, std::size_t first,
                           const std::function<std::size_t(std::span<std::uint8_t>)>& read) {
    std::string whole;
    for (std::size_t got = first; got > 0; got = read(buffer)) {
        if (whole.size() + got > kLargestDat) return LargerThanAnyDat();
        whole.append(reinterpret_cast<const char*>(buffer.data()), got);
    }
    TextDat dat(content);
    auto at = whole.cbegin() + (whole.starts_with("\xEF\xBB\xBF") ? 3 : 0);
    namespace x3 = boost::spirit::x3;
    const bool parsed = x3::phrase_parse(at, whole.cend(), x3::with<grammar::dat_tag>(std::ref(dat))[grammar::dat], grammar::blank);
    if (!content.problem.empty()) return content.problem;
    if (!parsed || at != whole.cend())
        return "it is not a DAT this reads (line " + std::to_string(1 + std::count(whole.cbegin(), at, '\n')) +
               ": neither XML nor clrmamepro's text)";
    if (!dat.sawDat) return "it is not a DAT this reads (neither XML nor clrmamepro's text)";
    return {};
}

}  // namespace

void RomCatalogue::AddStream(const std::string& shown, const std::function<std::size_t(std::span<std::uint8_t>)>& read,
                             std::uint64_t size, std::vector<std::string>& skipped) {
    const auto skip = [&](const std::string& why) { skipped.push_back("Skipped the DAT " + shown + ": " + why + "."); };
    if (size > kLargestDat) return skip("it is larger than any DAT (" + text::CountOf(size) + ")");
    // XML starts with its mark, after a byte-order mark and blanks at most;
    // anything else is taken for clrmamepro's text.
    std::vector<std::uint8_t> buffer(1 << 16);
    const std::size_t first = read(buffer);
    const std::string_view head(reinterpret_cast<const char*>(buffer.data()), first);
    const std::size_t start = head.find_first_not_of(" \t\r\n", head.starts_with("\xEF\xBB\xBF") ? 3 : 0);
    const std::size_t before = roms_.size();
    DatContent content{roms_, {}, {}};
    const std::string problem = start != std::string_view::npos && head[start] == '<'
                                    ? ReadLogiqx(content, buffer, first, read)
                                    : ReadClrmamepro(content, buffer, first, read);
    if (!problem.empty()) {
        roms_.erase(roms_.begin() + static_cast<std::ptrdiff_t>(before), roms_.end());
        return skip(problem);
    }
    // One name for all its ROMs: a DAT's is often longer than a string
    // holds without a block of its own.
    const auto dat = std::make_shared<const std::string>(content.datName.empty() ? BaseName(shown) : content.datName);
    for (std::size_t at = before; at < roms_.size(); ++at) {
        KnownRom& rom = roms_[at];
        rom.dat = dat;
        const auto index = static_cast<std::uint32_t>(at);
        if (rom.sha1) bySha1_.emplace_back(*rom.sha1, index);
        if (rom.md5) byMd5_.emplace_back(*rom.md5, index);
        if (rom.size && rom.crc) bySizeCrc_.emplace_back(std::pair(*rom.size, *rom.crc), index);
    }
}

void RomCatalogue::AddFile(HostServices& host, const std::string& path, std::vector<std::string>& skipped) {
    try {
        const auto file = host.OpenInput(path);
        file->ExpectSequential();
        if (IsArchiveFile(*file)) {
            StreamEntries(*file, path, [](const std::string& name) {
                const std::string extension = LowerExtension(name);
                return extension == "dat" || extension == "xml";
            }, [&](const std::string& name, const std::function<std::size_t(std::span<std::uint8_t>)>& read) {
                AddStream(path + "/" + name, read, 0, skipped);
            });
            return;
        }
        std::uint64_t at = 0;
        AddStream(path, [&](std::span<std::uint8_t> buffer) {
            const std::size_t got = file->ReadAt(at, buffer);
            at += got;
            return got;
        }, file->Size(), skipped);
    } catch (const std::exception& failure) {
        skipped.push_back("Skipped the DAT " + path + ": " + FailureText(failure));
    }
}

void RomCatalogue::Add(HostServices& host, const std::string& path, std::vector<std::string>& skipped) {
    if (!host.FolderExists(path)) {
        if (const auto problem = host.InputProblem(path))
            skipped.push_back("Skipped the DAT " + path + ": " + (problem->empty() ? "there is no such file" : *problem));
        else
            AddFile(host, path, skipped);
    } else {
        for (const std::string& file : host.FilesIn(path)) {
            const std::string extension = LowerExtension(file);
            if (extension == "dat" || extension == "xml" || extension == "zip" || extension == "7z")
                AddFile(host, file, skipped);
        }
    }
    Sort();
}

void RomCatalogue::Sort() {
    std::sort(bySha1_.begin(), bySha1_.end());
    std::sort(byMd5_.begin(), byMd5_.end());
    std::sort(bySizeCrc_.begin(), bySizeCrc_.end());
    byFile_.clear();  // built when first asked for: only a patch without checksums asks
}

template <class Key>
std::vector<const KnownRom*> RomCatalogue::Lookup(const Index<Key>& index, const Key& key) const {
    std::vector<const KnownRom*> found;
    for (auto it = std::lower_bound(index.begin(), index.end(), std::pair(key, std::uint32_t{0}));
         it != index.end() && it->first == key; ++it)
        found.push_back(&roms_[it->second]);
    return found;
}

std::vector<const KnownRom*> RomCatalogue::Find(const FileHashes& hashes) const {
    std::vector<const KnownRom*> found = Lookup(bySha1_, hashes.sha1);
    // A DAT without SHA-1s names by MD5, one without either by size and CRC-32;
    // what a DAT gives must agree whole.
    for (const auto& more : {Lookup(byMd5_, hashes.md5), Lookup(bySizeCrc_, std::pair(hashes.size, hashes.crc))})
        for (const KnownRom* rom : more)
            if (std::find(found.begin(), found.end(), rom) == found.end()) found.push_back(rom);
    std::erase_if(found, [&](const KnownRom* rom) {
        return (rom->sha1 && *rom->sha1 != hashes.sha1) || (rom->md5 && *rom->md5 != hashes.md5) ||
               (rom->crc && *rom->crc != hashes.crc) || (rom->size && *rom->size != hashes.size);
    });
    return found;
}

std::vector<const KnownRom*> RomCatalogue::Find(const ExpectedOriginal& expected) const {
    if (expected.md5)
        if (auto found = Lookup(byMd5_, *expected.md5); !found.empty()) return found;
    if (expected.size && expected.crc) return Lookup(bySizeCrc_, std::pair(*expected.size, *expected.crc));
    // An xdelta patch carries no checksum of its original, only the name its
    // maker's file had: a DAT's own file name for a ROM is that name where
    // the maker started from a dump as the DAT names it.
    std::vector<const KnownRom*> found;
    if (expected.name.empty()) return found;
    const auto name = [&](std::uint32_t at) -> const std::string& { return roms_[at].file; };
    if (byFile_.size() != roms_.size()) {
        byFile_.resize(roms_.size());
        std::iota(byFile_.begin(), byFile_.end(), std::uint32_t{0});
        std::sort(byFile_.begin(), byFile_.end(), [&](std::uint32_t a, std::uint32_t b) { return name(a) < name(b); });
    }
    for (auto it = std::lower_bound(byFile_.begin(), byFile_.end(), expected.name,
                                    [&](std::uint32_t at, const std::string& wanted) { return name(at) < wanted; });
         it != byFile_.end() && name(*it) == expected.name; ++it)
        found.push_back(&roms_[*it]);
    return found;
}

RomCatalogue UserCatalogue(HostServices& host, const std::vector<std::string>& paths, std::vector<std::string>& skipped) {
    RomCatalogue catalogue;
    if (const std::string folder = host.DatFolder(); !folder.empty() && host.FolderExists(folder))
        catalogue.Add(host, folder, skipped);
    for (const std::string& path : paths) catalogue.Add(host, path, skipped);
    return catalogue;
}

std::function<const RomCatalogue&()> UserCatalogueOnDemand(HostServices& host, std::vector<std::string> paths,
                                                          std::function<void(const std::vector<std::string>&)> skipped) {
    auto kept = std::make_shared<std::optional<RomCatalogue>>();
    return [&host, paths = std::move(paths), skipped = std::move(skipped), kept]() -> const RomCatalogue& {
        if (!*kept) {
            std::vector<std::string> left;
            kept->emplace(UserCatalogue(host, paths, left));
            if (skipped && !left.empty()) skipped(left);
        }
        return **kept;
    };
}

std::string RomNames(const std::vector<const KnownRom*>& roms) {
    std::string said;
    for (const KnownRom* rom : roms) {
        const std::string one = rom->game + ", in " + *rom->dat;
        if (said.find(one) == std::string::npos) said += (said.empty() ? "" : " or ") + one;
    }
    return said;
}

std::string NameLine(const RomCatalogue& catalogue, InputFile& file, const FileHashes& hashes) {
    if (catalogue.Size() == 0) return {};
    std::vector<const KnownRom*> found = catalogue.Find(hashes);
    if (!found.empty()) return "Name:   " + RomNames(found);
    const auto view = FirstView(file, [&](InputFile& viewed) {
        found = catalogue.Find(HashesOf(viewed));
        return !found.empty();
    });
    if (!view) return {};
    const std::string how = view->header.empty() ? "read as " + view->to + ", the file being " + view->from
                                                 : "behind its " + std::to_string(view->skip) + "-byte " +
                                                       view->header + " header";
    return "Name:   " + RomNames(found) + " (" + how + ")";
}

}  // namespace zelk
