// One operation (making, applying a patch) from the user's side: it ends
// either with its "Done" message or stopped on another one, never both.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "host/host_services.h"

namespace zelk {

// How an operation ended: with its "Done" message, or stopped on another.
enum class Outcome { Done, Stopped };

// The message an operation stops with instead of its "Done".
struct Stop {
    std::string text;
    MessageStyle style = MessageStyle::Critical;
    // Refused because the original's checksum is not the patch's: the user
    // may choose to apply it all the same.
    bool checksum = false;
};

// Runs one operation: `body` returns the Stop it ended on, or nothing when it
// succeeded; a failure it throws becomes a Critical message (which names the
// path). The closing message comes after `body` has returned, so every file
// it opened is closed by then, and "Done" only follows success (where
// `sayDone`: an operation that reports otherwise has no "Done").
// `doneText` is read once `body` has returned, so the body may name what it did.
Outcome RunOperation(HostServices& host, const std::string& doneText, const std::function<std::optional<Stop>()>& body,
                     bool sayDone = true);

// The Stop an operation ends on when `path` cannot be read as an input:
// the designed missing-file message where nothing is there, else the real
// reason.
std::optional<Stop> CheckInput(HostServices& host, const std::string& path);

// Commits an output and warns of what it could not keep of the file it
// replaced.
void CommitOutput(HostServices& host, OutputFile& output);

}  // namespace zelk
