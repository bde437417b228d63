#include "cli/cli.h"

#include <vector>

#include "engine/patch_applier.h"
#include "engine/patch_maker.h"

#ifndef ZELK_VERSION
#define ZELK_VERSION "unknown"
#endif

namespace zelk {

namespace {

constexpr const char* kUsage =
    "Usage:\n"
    "  zelkpatch make ORIGINAL CHANGED PATCH [--comment TEXT | --comment-file FILE]\n"
    "  zelkpatch apply ORIGINAL PATCH OUTPUT\n"
    "  zelkpatch info PATCH\n"
    "  zelkpatch --help | --version\n";

constexpr const char* kHelp =
    "zelkpatch makes and applies ZelkPatch files: byte-level patches between two\n"
    "versions of a ROM (or any file), each carrying a free-text comment.\n"
    "\n"
    "  make ORIGINAL CHANGED PATCH   write PATCH, which turns ORIGINAL into CHANGED;\n"
    "      --comment TEXT            store TEXT as the patch comment (default: none)\n"
    "      --comment-file FILE       store the UTF-8 text of FILE as the comment\n"
    "  apply ORIGINAL PATCH OUTPUT   show the patch comment and write the patched\n"
    "                                ORIGINAL to OUTPUT (which may be ORIGINAL)\n"
    "  info PATCH                    show the comment and the blocks of PATCH\n"
    "\n"
    "Exit status: 0 done, 1 stopped with a message, 2 wrong usage.\n"
    "An output file is replaced only once it is complete; on any failure it keeps\n"
    "its old bytes.\n";

int Usage(std::FILE* err, const std::string& problem) {
    std::fprintf(err, "zelkpatch: %s\n%s", problem.c_str(), kUsage);
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
        comment.assign(static_cast<std::size_t>(file->Size()), '\0');
        const std::size_t got = file->ReadAt(0, {reinterpret_cast<std::uint8_t*>(comment.data()), comment.size()});
        comment.resize(got);
    } catch (const std::exception& failure) {
        host.ShowMessage(failure.what(), MessageStyle::Critical);
        return false;
    }
    return true;
}

int Make(const std::vector<std::string>& args, HostServices& host, std::FILE* err) {
    std::vector<std::string> paths;
    std::string comment;
    std::string commentFile;
    bool haveComment = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--comment" || arg == "--comment-file") {
            if (haveComment) return Usage(err, "give one comment only");
            if (i + 1 >= args.size()) return Usage(err, arg + " needs a value");
            haveComment = true;
            (arg == "--comment" ? comment : commentFile) = args[++i];
            if (arg == "--comment-file" && commentFile.empty()) return Usage(err, "--comment-file needs a file");
        } else if (arg == "--") {
            paths.insert(paths.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
            break;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Usage(err, "unknown option " + arg);
        } else {
            paths.push_back(arg);
        }
    }
    if (paths.size() != 3) return Usage(err, "make needs ORIGINAL, CHANGED and PATCH");
    if (!commentFile.empty() && !ReadCommentFile(host, commentFile, comment)) return 1;
    return ExitStatus(MakePatch(host, paths[0], paths[1], paths[2], comment));
}

// Positional arguments after the command; `--` lets a path start with '-'.
bool Positional(const std::vector<std::string>& args, std::size_t count, std::vector<std::string>& out,
                std::string& problem) {
    bool optionsEnded = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (!optionsEnded && args[i] == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && args[i].size() > 1 && args[i][0] == '-') {
            problem = "unknown option " + args[i];
            return false;
        } else {
            out.push_back(args[i]);
        }
    }
    if (out.size() != count) {
        problem = args[0] + " needs " + std::to_string(count) + (count == 1 ? " path" : " paths");
        return false;
    }
    return true;
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
            host.ShowMessage(stop.text, stop.style);
            return 1;
        }
        const std::string comment = host.FromAnsi(ReadCommentBytes(*patch, summary));
        host.ShowMessage(comment.empty() ? "Comment: (none)" : "Comment:\n" + comment, MessageStyle::Plain);
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
        host.ShowMessage(failure.what(), MessageStyle::Critical);
        return 1;
    }
    return 0;
}

}  // namespace

int RunCommandLine(const std::vector<std::string>& args, HostServices& host, std::FILE* out, std::FILE* err) {
    if (args.empty()) return Usage(err, "no command given");
    const std::string& command = args[0];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fprintf(out, "%s\n%s", kHelp, kUsage);
        return 0;
    }
    if (command == "--version") {
        std::fprintf(out, "zelkpatch %s\n", ZELK_VERSION);
        return 0;
    }
    if (command == "make") return Make(args, host, err);
    std::vector<std::string> paths;
    std::string problem;
    if (command == "apply") {
        if (!Positional(args, 3, paths, problem)) return Usage(err, problem);
        return ExitStatus(ApplyPatch(host, paths[0], paths[1], paths[2]));
    }
    if (command == "info") {
        if (!Positional(args, 1, paths, problem)) return Usage(err, problem);
        return Info(host, paths[0]);
    }
    return Usage(err, "unknown command " + command);
}

}  // namespace zelk
