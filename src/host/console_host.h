// The command line's host: the system's files, and messages for a terminal,
// plain ones on standard output, critical ones on standard error.
#pragma once

#include <cstdio>

#include "host/host_services.h"
#include "host/system_files.h"

namespace zelk {

class ConsoleMessages : public virtual FaceServices {
public:
    ConsoleMessages(std::FILE* out = stdout, std::FILE* err = stderr) : out_(out), err_(err) {}
    void ShowMessage(const std::string& text, MessageStyle style) override;
    // An operation that ends without its result has failed: standard error.
    void ShowStop(const std::string& text, MessageStyle style) override;
    void ShowWarning(const std::string& text) override;
    // The whole comment, converted and escaped a slice at a time.
    void ShowComment(CommentReader& comment) override;
    void EndProgram() override;

    // The exit status once everything is written: `status`, or 1 when
    // standard output or standard error could not take what was written to
    // them (a full disk, a closed pipe), said on standard error where it
    // still works. A reader that went away (`| head`) is not worth a word.
    int Finish(int status);

private:
    // Writes all of `text` to `stream`, remembering the first failure.
    void Put(std::FILE* stream, std::string_view text);

    std::FILE* out_;
    std::FILE* err_;
    int outError_ = 0;
    int errError_ = 0;
};

class ConsoleHost : public HostServices, public SystemFiles, public ConsoleMessages {
public:
    using ConsoleMessages::ConsoleMessages;
};

// Text that came from a file, made harmless for a terminal: CR LF and LF
// become line breaks, tabs stay, every other control character (escape
// sequences included) and malformed UTF-8 is shown escaped as \xNN or \u{NN}.
std::string TerminalSafe(std::string_view utf8);

}  // namespace zelk
