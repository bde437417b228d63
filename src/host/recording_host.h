// The system's files, and messages that are kept instead of shown: for
// tests and for callers that decide themselves what to show.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "host/host_services.h"
#include "host/system_files.h"

namespace zelk {

struct RecordedMessage {
    std::string text;
    MessageStyle style;
    bool operator==(const RecordedMessage&) const = default;
    // How a test's failure shows one.
    friend std::ostream& operator<<(std::ostream& out, const RecordedMessage& m) {
        return out << (m.style == MessageStyle::Critical ? "Critical: " : "Plain: ") << m.text;
    }
};

class RecordingHost : public HostServices, public SystemFiles {
public:
    void ShowMessage(const std::string& text, MessageStyle style) override { messages.push_back({text, style}); }
    void ShowWarning(const std::string& text) override { warnings.push_back(text); }
    void EndProgram() override { ended = true; }
    // No DATs but those a test puts here: the user's own stay out of tests.
    std::string DatFolder() override { return datFolder; }
    std::string datFolder;
    bool Ask(const std::string& question) override {
        messages.push_back({question, MessageStyle::Plain});
        return answer;
    }

    std::vector<RecordedMessage> messages;
    std::vector<std::string> warnings;
    bool ended = false;
    bool answer = false;  // to every question
};

}  // namespace zelk
