#include "cli/cli.h"

#include <getopt.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <optional>
#include <sstream>
#include <vector>

#include "engine/archive_input.h"
#include "engine/formats/format.h"
#include "engine/patch_applier.h"
#include "engine/patch_chain.h"
#include "engine/patch_format.h"
#include "engine/patch_maker.h"
#include "engine/rom_catalogue.h"
#include "engine/rom_checksum.h"
#include "engine/user_texts.h"
#include "host/forwarding_host.h"
#include "host/about.h"

namespace zelk {

namespace {

// The options of make, as both the tool's and the command's help list them.
#define ZELK_COMMENT_OPTIONS                                                             \
    "  -c, --comment=TEXT            store TEXT as the patch comment (default: none)\n" \
    "  -C, --comment-file=FILE       store the UTF-8 text of FILE as the comment;\n"    \
    "                                - reads it from standard input\n"                  \
    "  -f, --format=FORMAT           write PATCH in FORMAT, a key of a format that\n"   \
    "                                make writes (see Formats); by default PATCH's\n"  \
    "                                extension chooses, any other name our own\n"
#define ZELK_CHECKSUM_OPTION                                                              \
    "      --ignore-checksum         apply a patch that carries checksums to a file\n"  \
    "                                it does not expect, and keep a result whose\n"     \
    "                                checksum is wrong, with a warning\n"              \
    "      --force                   the same\n"                                           \
    "      --fix-checksum            where the ROM's own header checksum was right\n"  \
    "                                and the result's is not (SNES, Game Boy, Game\n"  \
    "                                Boy Advance, Mega Drive, N64), write the right\n" \
    "                                one into the result\n"
#define ZELK_DAT_OPTION                                                                   \
    "      --dat=PATH                name ROMs by the DAT files at PATH too (a DAT,\n"  \
    "                                a .zip or .7z of them, or a folder), beside\n"    \
    "                                those in the default folder; may be repeated\n"
#define ZELK_HELP_OPTION "  -h, --help                    "

constexpr const char* kHelpTop =
    "Usage: zelkpatch make [OPTION]... ORIGINAL CHANGED PATCH\n"
    "  or:  zelkpatch apply ORIGINAL PATCH [PATCH]... OUTPUT\n"
    "  or:  zelkpatch check ORIGINAL [PATCH]...\n"
    "  or:  zelkpatch info PATCH\n"
    "Make and apply ZelkPatch files: byte-level patches between two versions of a\n"
    "ROM (or any file), each carrying a free-text comment. make also writes other\n"
    "formats ROM hacks are published in (chosen by PATCH's extension or by\n"
    "--format); apply, check and info read every format listed below, told apart\n"
    "by their content. Several patches are applied in order, each to the result\n"
    "of the one before. A ROM or a patch may be a .zip or .7z archive holding it,\n"
    "or a file named through one as through a folder: hack.zip/English/PATCH.\n"
    "\n"
    "Commands:\n"
    "  make ORIGINAL CHANGED PATCH   write PATCH, which turns ORIGINAL into CHANGED\n"
    "  apply ORIGINAL PATCH OUTPUT   show the patch comment, then write the patched\n"
    "                                ORIGINAL to OUTPUT (which may be ORIGINAL);\n"
    "                                several PATCHes apply in order\n"
    "  check ORIGINAL PATCH          tell whether PATCH was made from ORIGINAL: it\n"
    "                                fits, is already applied, or does not fit;\n"
    "                                several PATCHes are checked in order; without\n"
    "                                PATCH, show ORIGINAL's size and hashes, and\n"
    "                                whether its own header checksum is right\n"
    "  info PATCH                    show the format, the comment and the blocks,\n"
    "                                records or sizes and checksums of PATCH\n"
    "\n"
    "Options of make:\n" ZELK_COMMENT_OPTIONS
    "\n"
    "Options of apply:\n" ZELK_CHECKSUM_OPTION
    "\n"
    "Options of apply and check:\n" ZELK_DAT_OPTION
    "\n"
    "Options:\n" ZELK_HELP_OPTION "show this help, or after a command its own, and exit\n"
    "  -V, --version                 show the version and the licence, and exit\n"
    "      --formats                 list the formats make writes, a key a line,\n"
    "                                and exit\n"
    "\n"
    "Options may stand before or after the paths; -- ends them. No path may be -:\n"
    "an output is written to a temporary file that replaces it only when complete,\n"
    "so standard output cannot be one (name a file called - as ./-).\n";

constexpr const char* kHelpBottom =
    "\n"
    "Exit status:\n"
    "  0   done (for info: the patch is sound; for check: it fits)\n"
    "  1   stopped with a message: a missing file, a damaged patch, a wrong\n"
    "      original, a failed write; for check: the patch does not fit or is\n"
    "      already applied\n"
    "  2   wrong usage; for check: it could not be checked (a missing or\n"
    "      unreadable file, a damaged patch)\n";

// `text` folded into lines of at most 79 columns, each after `indent`, the
// first after `first` instead.
std::string Folded(const std::string& first, const std::string& indent, const std::string& text) {
    constexpr std::size_t kWidth = 79;
    std::string said, line = first, word;
    bool bare = true;  // no word on this line yet
    std::istringstream words(text);
    while (words >> word) {
        if (!bare && line.size() + 1 + word.size() > kWidth) {
            said += line + "\n";
            line = indent;
            bare = true;
        }
        if (!bare) line += ' ';
        line += word;
        bare = false;
    }
    return said + line + "\n";
}

// The keys --format takes, a line each, ours first: what the shell's
// completion offers.
std::string MakerKeyLines() {
    std::string said;
    for (const std::string_view key : MakerKeyList()) said.append(key).append(1, '\n');
    return said;
}

// Every format from the list, a paragraph each: its key, its name, whether
// make writes it and under which extensions, and what it is. `makersOnly`:
// only those make writes.
std::string FormatList(bool makersOnly) {
    std::string said = makersOnly ? "\nFormats make writes (KEY, NAME, the extensions that ask for it):\n"
                                  : "\nFormats (KEY, NAME, whether make writes it, the extensions that ask for it):\n";
    const std::string indent(13, ' ');
    for (const PatchFormat* format : Formats()) {
        if (makersOnly && !format->Makes()) continue;
        std::string tags = format->Makes() ? "make" : "read only";
        if (format == &OwnFormat()) {
            tags += "; any other name";
        } else {
            std::string extensions;
            for (std::string_view extension : format->Extensions())
                extensions += (extensions.empty() ? "." : ", .") + std::string(extension);
            tags += "; " + extensions;
        }
        std::string key = "  " + std::string(format->Key());
        key.resize(std::max(key.size() + 2, indent.size()), ' ');  // two spaces part a key from its text
        said += Folded(key, indent, std::string(format->Name()) + " (" + tags + "): " + std::string(format->Summary()) + ".");
    }
    return said;
}

std::string MainHelp() { return kHelpTop + FormatList(false) + kHelpBottom; }

// Help and lists go out as any message does, so that a write that fails
// is told with its reason.
void Print(HostServices& host, std::string text) {
    if (!text.empty() && text.back() == '\n') text.pop_back();
    host.ShowMessage(text, MessageStyle::Plain);
}

// What each command takes.
struct Command {
    const char* name;
    const char* usage;
    const char* summary;
    std::vector<const char*> paths;
    bool commentOptions;
    bool checksumOption = false;
    // PATCH may be given several times: patches applied in order.
    bool severalPatches = false;
    // ORIGINAL may be given alone.
    bool originalAlone = false;
};

const Command kCommands[] = {
    {"make", "make [OPTION]... ORIGINAL CHANGED PATCH",
     "Write PATCH, which turns ORIGINAL into CHANGED, in the format PATCH's\n"
     "extension or --format asks for, listed below with what each keeps: a comment\n"
     "that a format cannot keep is left out, one longer than its field is cut, and\n"
     "make says so. PATCH named as a format that is read, not made, gets a\n"
     "ZelkPatch, and make says so.",
     {"ORIGINAL", "CHANGED", "PATCH"}, true},
    {"apply", "apply [OPTION]... ORIGINAL PATCH [PATCH]... OUTPUT",
     "Show the comment of PATCH, then write ORIGINAL with PATCH applied to OUTPUT\n"
     "(which may be ORIGINAL). Several patches apply in order, each held to the\n"
     "result of the one before; the first that does not fit stops the run, with\n"
     "nothing written. A .zip or .7z archive holding the one patch (or ROM) is\n"
     "read as it; name a file in it as through a folder: hack.zip/English/PATCH.\n"
     "PATCH may be in any format listed below, told by its content. A patch that\n"
     "carries checksums is refused, with nothing written, unless ORIGINAL is the\n"
     "file it was made for: as it is, behind a header the patch's original lacked\n"
     "(which the result then keeps), or in another N64 byte order (the result is\n"
     "turned back to it). Given the file it makes, a format that can turns it back\n"
     "into its original. The result is held to every checksum the patch carries\n"
     "before it replaces anything.",
     {"ORIGINAL", "PATCH", "OUTPUT"}, false, true, true},
    {"check", "check [OPTION]... ORIGINAL [PATCH]...",
     "Tell whether PATCH fits ORIGINAL, is already applied to it, or does not fit it\n"
     "(another revision, a copier header too many or too few, a cut or longer\n"
     "file), with the evidence. Nothing is written. Exit status 0 when it fits, 1\n"
     "when it does not fit or is already applied, 2 when it could not be checked.\n"
     "Without PATCH, show ORIGINAL's size, CRC-32, MD5 and SHA-1, and for a ROM of\n"
     "the SNES, Game Boy (Color), Game Boy Advance, Mega Drive or N64, whether the\n"
     "checksum its own header carries is right; exit status 0 once read.",
     {"ORIGINAL", "PATCH"}, false, false, true, true},
    {"info", "info [OPTION]... PATCH",
     "Show the format of PATCH and what it holds: its comment, and the blocks,\n"
     "records, or sizes and checksums its format keeps.",
     {"PATCH"}, false},
};

std::string CommandHelp(const Command& command) {
    std::string help = std::string("Usage: zelkpatch ") + command.usage + "\n" + command.summary + "\n\nOptions:\n";
    if (command.commentOptions) help += ZELK_COMMENT_OPTIONS;
    if (command.checksumOption) help += ZELK_CHECKSUM_OPTION;
    if (command.severalPatches) help += ZELK_DAT_OPTION;
    help += ZELK_HELP_OPTION "show this help and exit\n";
    if (command.commentOptions) help += FormatList(true);
    if (command.checksumOption) help += FormatList(false);
    return help;
}

// A usage error: the problem, a one-line hint, exit status 2.
int Usage(std::FILE* err, const std::string& problem, const std::string& command = {}) {
    std::fprintf(err, "zelkpatch: %s\nTry 'zelkpatch%s --help' for more information.\n", problem.c_str(),
                 command.empty() ? "" : (" " + command).c_str());
    return 2;
}

int ExitStatus(Outcome outcome) { return outcome == Outcome::Done ? 0 : 1; }

// Reads a comment file as UTF-8 text; false after telling the user why not.
bool ReadCommentFile(HostServices& host, const std::string& path, std::string& comment) {
    if (const auto stop = CheckInput(host, path)) {
        host.ShowMessage(stop->text, MessageStyle::Critical);
        return false;
    }
    try {
        auto file = host.OpenInput(path);
        // No patch can hold it, and a 32-bit process could not even count it.
        if (file->Size() > kMaxFileSize) {
            host.ShowMessage(text::TooLarge(path), MessageStyle::Critical);
            return false;
        }
        comment.assign(static_cast<std::size_t>(file->Size()), '\0');
        const std::size_t got = file->ReadAt(0, {reinterpret_cast<std::uint8_t*>(comment.data()), comment.size()});
        comment.resize(got);
    } catch (const std::exception& failure) {
        host.ShowMessage(FailureText(failure), MessageStyle::Critical);
        return false;
    }
    return true;
}

// As cmp and diff have it: 0 it fits (every patch of several), 1 it does
// not (or is applied already), 2 it could not be checked.
// A run that stops on "not a patch" (the designed words) says on a line of
// its own which file that is, and where the paths look given the wrong way
// round.
class NotAPatchNamed final : public ForwardingHost {
public:
    NotAPatchNamed(HostServices& host, const std::string& originalPath, const std::vector<std::string>& patchPaths)
        : ForwardingHost(host), originalPath_(originalPath), patchPaths_(patchPaths) {}
    void ShowStop(const std::string& text, MessageStyle style) override {
        if (text != text::NotAPatch || patchPaths_.size() != 1) return host_.ShowStop(text, style);
        host_.ShowStop(text + "\n" + NotAPatchDetail(host_, originalPath_, patchPaths_.front()), style);
    }

private:
    const std::string& originalPath_;
    const std::vector<std::string>& patchPaths_;
};

int Check(HostServices& outer, const std::string& originalPath, const std::vector<std::string>& patchPaths,
          const RomCatalogue& names) {
    NotAPatchNamed host(outer, originalPath, patchPaths);
    bool fits = false;
    const Outcome outcome = RunOperation(host, "", [&]() -> std::optional<Stop> {
        std::string said;
        if (auto stop = CheckAny(host, originalPath, patchPaths, "\n", said, fits, &names)) return stop;
        host.ShowMessage(said, MessageStyle::Plain);
        return std::nullopt;
    }, false);
    if (outcome != Outcome::Done) return 2;
    return fits ? 0 : 1;
}

// A ROM alone: its size and hashes, and its own header checksum where its
// system has one.
int DescribeRom(HostServices& host, const std::string& path, const RomCatalogue& names) {
    const Outcome outcome = RunOperation(host, "", [&]() -> std::optional<Stop> {
        std::unique_ptr<InputFile> file;
        if (auto stop = OpenSource(host, path, Wanted::Rom, {}, file)) return stop;
        const FileHashes hashes = HashesOf(*file);
        std::string said = text::HashLines(hashes);
        if (const std::string name = NameLine(names, *file, hashes); !name.empty()) said += "\n" + name;
        if (const auto checksum = ReadInternalChecksum(*file)) said += "\nSystem: " + checksum->system + "\n" + checksum->Lines();
        host.ShowMessage(said, MessageStyle::Plain);
        return std::nullopt;
    }, false);
    return outcome == Outcome::Done ? 0 : 2;
}

int Info(HostServices& host, const std::string& patchPath) {
    try {
        std::unique_ptr<InputFile> patch;
        if (const auto stop = OpenSource(host, patchPath, Wanted::Patch, {}, patch)) {
            host.ShowMessage(stop->text, MessageStyle::Critical);
            return 1;
        }
        const auto read = Recognise(*patch).Read(*patch, host.Buffers().stream);
        if (const auto stop = read->Refusal(patchPath)) {
            patch.reset();
            host.ShowStop(stop->text, stop->style);
            return 1;
        }
        read->ShowInfo(host, std::move(patch));
    } catch (const std::exception& failure) {
        host.ShowMessage(FailureText(failure), MessageStyle::Critical);
        return 1;
    }
    return 0;
}

// Reads the comment from standard input, as UTF-8 text, up to what a patch
// can hold; false after telling the user why not.
bool ReadStream(HostServices& host, std::FILE* in, std::string& text) {
    char buffer[4096];
    errno = 0;
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, in)) > 0;) {
        if (text.size() + got > kMaxFileSize) {
            host.ShowMessage(text::TooLarge("standard input"), MessageStyle::Critical);
            return false;
        }
        text.append(buffer, got);
    }
    // A folder or a closed stream in its place reads as nothing: not an empty comment.
    if (std::ferror(in)) {
        host.ShowMessage(std::string("Cannot read standard input: ") + std::strerror(errno != 0 ? errno : EIO),
                         MessageStyle::Critical);
        return false;
    }
    return true;
}

struct Parsed {
    std::vector<std::string> paths;
    std::optional<std::string> comment;
    std::optional<std::string> commentFile;
    const PatchFormat* format = nullptr;  // by the patch's name
    bool ignoreChecksum = false;
    bool fixChecksum = false;
    std::vector<std::string> dats;
    bool help = false;
};

std::optional<std::string> CheckPaths(const Command& command, const Parsed& parsed);

// The usual getopt_long rules: --opt VALUE and --opt=VALUE, short forms,
// options anywhere among the paths, -- to end them. Returns a problem, or
// nothing when the arguments are well formed.
std::optional<std::string> Parse(const Command& command, const std::vector<std::string>& args, Parsed& parsed) {
    std::vector<std::string> words(args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::vector<option> options;
    if (command.commentOptions) {
        options.push_back({"comment", required_argument, nullptr, 'c'});
        options.push_back({"comment-file", required_argument, nullptr, 'C'});
        options.push_back({"format", required_argument, nullptr, 'f'});
    }
    if (command.checksumOption) {
        options.push_back({"ignore-checksum", no_argument, nullptr, 'i'});
        options.push_back({"force", no_argument, nullptr, 'i'});
        options.push_back({"fix-checksum", no_argument, nullptr, 'x'});
    }
    if (command.severalPatches) options.push_back({"dat", required_argument, nullptr, 'd'});
    options.push_back({"help", no_argument, nullptr, 'h'});
    options.push_back({nullptr, 0, nullptr, 0});
    const char* shortOptions = command.commentOptions ? ":c:C:f:h" : ":h";
    optind = 0;  // start afresh: the parser keeps its place between calls
    opterr = 0;
    const int argc = static_cast<int>(words.size());
    for (int c; (c = getopt_long(argc, argv.data(), shortOptions, options.data(), nullptr)) != -1;) {
        const std::string word = argv[optind - 1];
        switch (c) {
            case 'c':
            case 'C':
                if (parsed.comment || parsed.commentFile) return "give one comment only";
                (c == 'c' ? parsed.comment : parsed.commentFile) = optarg;
                break;
            case 'h':
                parsed.help = true;
                break;
            case 'i':
                parsed.ignoreChecksum = true;
                break;
            case 'x':
                parsed.fixChecksum = true;
                break;
            case 'd':
                if (optarg[0] == '\0') return "--dat needs a file or a folder";
                parsed.dats.emplace_back(optarg);
                break;
            case 'f':
                parsed.format = MakerNamed(optarg);
                if (parsed.format == nullptr) return "unknown format '" + std::string(optarg) + "' (" + MakerKeys() + ")";
                break;
            case ':':
                return "option '" + word.substr(0, word.find('=')) + "' needs a value";
            default:
                return "unknown option '" + (optopt != 0 ? std::string("-") + static_cast<char>(optopt) : word) + "'";
        }
    }
    parsed.paths.assign(argv.begin() + optind, argv.end() - 1);
    if (parsed.help) return std::nullopt;
    return CheckPaths(command, parsed);
}

// Whether the command has the paths it needs, none of them empty or `-`.
std::optional<std::string> CheckPaths(const Command& command, const Parsed& parsed) {
    const std::size_t expected = command.paths.size();
    if (parsed.paths.size() != expected && !(command.severalPatches && parsed.paths.size() > expected) &&
        !(command.originalAlone && parsed.paths.size() == 1)) {
        std::string names;
        for (std::size_t i = 0; i < expected; ++i)
            names += std::string(i == 0 ? "" : i + 1 == expected ? " and " : ", ") + command.paths[i];
        return std::string(command.name) + " needs " + names + " (" + std::to_string(parsed.paths.size()) +
               (parsed.paths.size() == 1 ? " path given)" : " paths given)");
    }
    // Every PATCH of several is a PATCH; the last path of apply is OUTPUT.
    const auto name = [&](std::size_t i) {
        if (!command.severalPatches || i == 0) return command.paths[i];
        const bool output = expected == 3 && i + 1 == parsed.paths.size();
        return command.paths[output ? 2 : 1];
    };
    for (std::size_t i = 0; i < parsed.paths.size(); ++i)
        if (parsed.paths[i].empty()) return std::string(name(i)) + " is empty: name a file";
    for (std::size_t i = 0; i < parsed.paths.size(); ++i)
        if (parsed.paths[i] == "-")
            return std::string(name(i)) +
                   " cannot be '-': files are read and written by name only (write ./- for a file named -)";
    if (parsed.commentFile && parsed.commentFile->empty()) return "--comment-file needs a file";
    return std::nullopt;
}

}  // namespace

int RunCommandLine(const std::vector<std::string>& args, HostServices& host, std::FILE* in, std::FILE* err) {
    if (args.empty()) return Usage(err, "no command given");
    const std::string& first = args[0];
    if (first == "-h" || first == "--help" || first == "help") {
        Print(host, MainHelp());
        return 0;
    }
    if (first == "--formats") {
        Print(host, MakerKeyLines());
        return 0;
    }
    if (first == "-V" || first == "--version") {
        Print(host, VersionText("zelkpatch"));
        return 0;
    }
    const Command* command = nullptr;
    for (const Command& c : kCommands)
        if (first == c.name) command = &c;
    if (command == nullptr)
        return Usage(err, first.rfind('-', 0) == 0 ? "unknown option '" + first + "'" : "unknown command '" + first + "'");

    Parsed parsed;
    if (const auto problem = Parse(*command, args, parsed)) return Usage(err, *problem, command->name);
    if (parsed.help) {
        Print(host, CommandHelp(*command));
        return 0;
    }
    const std::vector<std::string>& paths = parsed.paths;
    if (first == "make") {
        std::string comment = parsed.comment.value_or("");
        if (parsed.commentFile) {
            if (*parsed.commentFile == "-") {
                if (!ReadStream(host, in, comment)) return 1;
            } else if (!ReadCommentFile(host, *parsed.commentFile, comment))
                return 1;
        }
        return ExitStatus(MakePatch(host, paths[0], paths[1], paths[2], comment, parsed.format));
    }
    // The user's DATs, each one left out told in a warning line.
    const auto names = UserCatalogueOnDemand(host, parsed.dats, [&](const std::vector<std::string>& lines) {
        for (const std::string& line : lines) host.ShowWarning(line);
    });
    if (first == "apply") {
        const std::vector<std::string> patches(paths.begin() + 1, paths.end() - 1);
        NotAPatchNamed named(host, paths[0], patches);
        ApplyOptions options;
        options.ignoreChecksum = parsed.ignoreChecksum;
        options.fixChecksum = parsed.fixChecksum;
        options.names = names;
        return ExitStatus(ApplyPatches(named, paths[0], patches, paths.back(), options));
    }
    if (first == "check" && paths.size() == 1) return DescribeRom(host, paths[0], names());
    if (first == "check") return Check(host, paths[0], {paths.begin() + 1, paths.end()}, names());
    return Info(host, paths[0]);
}

}  // namespace zelk
