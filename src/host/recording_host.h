// Host services that keep every message instead of showing it, for tests
// and for callers that decide themselves what to show.
#pragma once

#include <string>
#include <vector>

#include "host/system_host.h"

namespace zelk {

struct RecordedMessage {
    std::string text;
    MessageStyle style;
    bool operator==(const RecordedMessage&) const = default;
};

class RecordingHost : public SystemHost {
public:
    void ShowMessage(const std::string& text, MessageStyle style) override { messages.push_back({text, style}); }
    void ShowWarning(const std::string& text) override { warnings.push_back(text); }
    void EndProgram() override { ended = true; }

    std::vector<RecordedMessage> messages;
    std::vector<std::string> warnings;
    bool ended = false;
};

}  // namespace zelk
