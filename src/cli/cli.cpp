#include "cli/cli.h"

#include <getopt.h>

#include <optional>
#include <vector>

#include "engine/patch_applier.h"
#include "engine/patch_maker.h"
#include "engine/user_texts.h"
#include "host/about.h"

namespace zelk {

namespace {

// The options of make, as both the tool's and the command's help list them.
#define ZELK_COMMENT_OPTIONS                                                             \
    "  -c, --comment=TEXT            store TEXT as the patch comment (default: none)\n" \
    "  -C, --comment-file=FILE       store the UTF-8 text of FILE as the comment;\n"    \
    "                                - reads it from standard input\n"
#define ZELK_HELP_OPTION "  -h, --help                    "

constexpr const char* kHelp =
    "Usage: zelkpatch make [OPTION]... ORIGINAL CHANGED PATCH\n"
    "  or:  zelkpatch apply ORIGINAL PATCH OUTPUT\n"
    "  or:  zelkpatch check ORIGINAL PATCH\n"
    "  or:  zelkpatch info PATCH\n"
    "Make and apply ZelkPatch files: byte-level patches between two versions of a\n"
    "ROM (or any file), each carrying a free-text comment.\n"
    "\n"
    "Commands:\n"
    "  make ORIGINAL CHANGED PATCH   write PATCH, which turns ORIGINAL into CHANGED\n"
    "  apply ORIGINAL PATCH OUTPUT   show the patch comment, then write the patched\n"
    "                                ORIGINAL to OUTPUT (which may be ORIGINAL)\n"
    "  check ORIGINAL PATCH          tell whether PATCH was made from ORIGINAL: it\n"
    "                                fits, is already applied, or does not fit\n"
    "  info PATCH                    show the comment and the blocks of PATCH\n"
    "\n"
    "Options of make:\n" ZELK_COMMENT_OPTIONS
    "\n"
    "Options:\n" ZELK_HELP_OPTION "show this help, or after a command its own, and exit\n"
    "  -V, --version                 show the version and the licence, and exit\n"
    "\n"
    "Options may stand before or after the paths; -- ends them. No path may be -:\n"
    "an output is written to a temporary file that replaces it only when complete,\n"
    "so standard output cannot be one (name a file called - as ./-).\n"
    "\n"
    "Exit status:\n"
    "  0   done (for info: the patch is sound; for check: it fits)\n"
    "  1   stopped with a message: a missing file, a damaged patch, a failed write;\n"
    "      for check: the patch does not fit or is already applied\n"
    "  2   wrong usage\n";

// What each command takes.
struct Command {
    const char* name;
    const char* usage;
    const char* summary;
    std::vector<const char*> paths;
    bool commentOptions;
};

const Command kCommands[] = {
    {"make", "make [OPTION]... ORIGINAL CHANGED PATCH", "Write PATCH, which turns ORIGINAL into CHANGED.",
     {"ORIGINAL", "CHANGED", "PATCH"}, true},
    {"apply", "apply [OPTION]... ORIGINAL PATCH OUTPUT",
     "Show the comment of PATCH, then write ORIGINAL with PATCH applied to OUTPUT\n(which may be ORIGINAL).",
     {"ORIGINAL", "PATCH", "OUTPUT"}, false},
    {"check", "check [OPTION]... ORIGINAL PATCH",
     "Tell whether PATCH fits ORIGINAL, is already applied to it, or does not fit it\n"
     "(another revision, a copier header too many or too few, a cut or longer\n"
     "file), with the evidence. Nothing is written; exit status 0 when it fits.",
     {"ORIGINAL", "PATCH"}, false},
    {"info", "info [OPTION]... PATCH", "Show the comment and the blocks of PATCH.", {"PATCH"}, false},
};

std::string CommandHelp(const Command& command) {
    std::string help = std::string("Usage: zelkpatch ") + command.usage + "\n" + command.summary + "\n\nOptions:\n";
    if (command.commentOptions) help += ZELK_COMMENT_OPTIONS;
    help += ZELK_HELP_OPTION "show this help and exit\n";
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
    if (!host.FileExists(path)) {
        host.ShowMessage(std::string(text::MissingFile) + path, MessageStyle::Critical);
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

int Check(HostServices& host, const std::string& originalPath, const std::string& patchPath) {
    FitReport report;
    const Outcome outcome = RunOperation(host, "", [&]() -> std::optional<Stop> {
        if (auto stop = CheckOriginal(host, originalPath, patchPath, report)) return stop;
        host.ShowMessage(text::FitSentence(report, patchPath, originalPath) + "\n" + text::FitEvidence(report),
                         MessageStyle::Plain);
        return std::nullopt;
    }, false);
    return outcome == Outcome::Done && report.verdict == Fit::Fits ? 0 : 1;
}

int Info(HostServices& host, const std::string& patchPath) {
    if (!host.FileExists(patchPath)) {
        host.ShowMessage(std::string(text::MissingFile) + patchPath, MessageStyle::Critical);
        return 1;
    }
    try {
        auto patch = host.OpenInput(patchPath);
        const PatchSummary summary = CheckPatch(*patch, host.Buffers().stream);
        if (summary.status != PatchStatus::Sound) {
            patch.reset();
            const Stop stop = UnsoundPatch(summary, patchPath);
            host.ShowStop(stop.text, stop.style);
            return 1;
        }
        if (summary.CommentLength() == 0) {
            host.ShowMessage("Comment: (none)", MessageStyle::Plain);
        } else {
            host.ShowMessage("Comment:", MessageStyle::Plain);
            ShowComment(host, *patch, summary);
        }
        // The block list goes out in pieces as the patch is read a second
        // time, so a patch of millions of blocks needs no list in memory.
        std::string table = "Blocks: " + std::to_string(summary.blockCount);
        std::size_t lines = 0;
        CheckPatch(*patch, host.Buffers().stream, [&](const PatchBlock& block) {
            if (lines++ % 4096 == 4095) {
                host.ShowMessage(table, MessageStyle::Plain);
                table.clear();
            } else {
                table += '\n';
            }
            char line[96];
            std::snprintf(line, sizeof line, "  offset %10d (0x%08X)  length %10d", block.blockOffset,
                          static_cast<unsigned>(block.blockOffset), block.blockLength);
            table += line;
        });
        patch.reset();
        table += "\nBytes covered: " + std::to_string(summary.coveredBytes);
        table += "\nFarthest block end: " + std::to_string(summary.maxEnd) +
                 " (the result has this size, or the original's if that is larger)";
        host.ShowMessage(table, MessageStyle::Plain);
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
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, in)) > 0;) {
        if (text.size() + got > kMaxFileSize) {
            host.ShowMessage(text::TooLarge("standard input"), MessageStyle::Critical);
            return false;
        }
        text.append(buffer, got);
    }
    return true;
}

struct Parsed {
    std::vector<std::string> paths;
    std::optional<std::string> comment;
    std::optional<std::string> commentFile;
    bool help = false;
};

// The usual getopt_long rules: --opt VALUE and --opt=VALUE, short forms,
// options anywhere among the paths, -- to end them. Returns a problem, or
// nothing when the arguments are well formed.
std::optional<std::string> Parse(const Command& command, const std::vector<std::string>& args, Parsed& parsed) {
    std::vector<std::string> words(args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    static const option kMakeOptions[] = {{"comment", required_argument, nullptr, 'c'},
                                          {"comment-file", required_argument, nullptr, 'C'},
                                          {"help", no_argument, nullptr, 'h'},
                                          {nullptr, 0, nullptr, 0}};
    const option* options = command.commentOptions ? kMakeOptions : kMakeOptions + 2;
    const char* shortOptions = command.commentOptions ? ":c:C:h" : ":h";
    optind = 0;  // start afresh: the parser keeps its place between calls
    opterr = 0;
    const int argc = static_cast<int>(words.size());
    for (int c; (c = getopt_long(argc, argv.data(), shortOptions, options, nullptr)) != -1;) {
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
            case ':':
                return "option '" + word.substr(0, word.find('=')) + "' needs a value";
            default:
                return "unknown option '" + (optopt != 0 ? std::string("-") + static_cast<char>(optopt) : word) + "'";
        }
    }
    parsed.paths.assign(argv.begin() + optind, argv.end() - 1);
    if (parsed.help) return std::nullopt;
    const std::size_t expected = command.paths.size();
    if (parsed.paths.size() != expected) {
        std::string names;
        for (std::size_t i = 0; i < expected; ++i)
            names += std::string(i == 0 ? "" : i + 1 == expected ? " and " : ", ") + command.paths[i];
        return std::string(command.name) + " needs " + names + " (" + std::to_string(parsed.paths.size()) +
               (parsed.paths.size() == 1 ? " path given)" : " paths given)");
    }
    for (std::size_t i = 0; i < expected; ++i)
        if (parsed.paths[i] == "-")
            return std::string(command.paths[i]) +
                   " cannot be '-': files are read and written by name only (write ./- for a file named -)";
    if (parsed.commentFile && parsed.commentFile->empty()) return "--comment-file needs a file";
    return std::nullopt;
}

}  // namespace

int RunCommandLine(const std::vector<std::string>& args, HostServices& host, std::FILE* in, std::FILE* out,
                   std::FILE* err) {
    if (args.empty()) return Usage(err, "no command given");
    const std::string& first = args[0];
    if (first == "-h" || first == "--help" || first == "help") {
        std::fputs(kHelp, out);
        return 0;
    }
    if (first == "-V" || first == "--version") {
        std::fputs(VersionText("zelkpatch").c_str(), out);
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
        std::fputs(CommandHelp(*command).c_str(), out);
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
        return ExitStatus(MakePatch(host, paths[0], paths[1], paths[2], comment));
    }
    if (first == "apply") return ExitStatus(ApplyPatch(host, paths[0], paths[1], paths[2]));
    if (first == "check") return Check(host, paths[0], paths[1]);
    return Info(host, paths[0]);
}

}  // namespace zelk
