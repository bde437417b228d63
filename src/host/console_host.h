// Messages for a terminal: plain ones on standard output, critical ones on
// standard error.
#pragma once

#include <cstdio>

#include "host/system_host.h"

namespace zelk {

class ConsoleHost : public SystemHost {
public:
    ConsoleHost(std::FILE* out = stdout, std::FILE* err = stderr) : out_(out), err_(err) {}
    void ShowMessage(const std::string& text, MessageStyle style) override;
    void EndProgram() override;

private:
    std::FILE* out_;
    std::FILE* err_;
};

// Text that came from a file, made harmless for a terminal: CR LF and LF
// become line breaks, tabs stay, every other control character (escape
// sequences included) and malformed UTF-8 is shown escaped as \xNN or \u{NN}.
std::string TerminalSafe(std::string_view utf8);

}  // namespace zelk
