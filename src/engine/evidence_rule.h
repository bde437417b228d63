// The one rule for what a patch's own evidence says is wrong, in every
// format and in chains: the file it meets is not its original, or the
// result it made is not the one it promises. Refused, unless the user asked
// to apply all the same; then told as a warning, and applying goes on.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "engine/operation.h"
#include "engine/verdict.h"
#include "host/host_services.h"

namespace zelk {

class EvidenceRule {
public:
    EvidenceRule(HostServices& host, const ApplyOptions& options) : host_(host), options_(options) {}
    // Before anything is written: the Stop to end on, or nothing (where
    // there is no problem, or it was told as a warning). A problem nobody
    // may override (`overridable` false) always stops, with no offer to
    // apply all the same.
    std::optional<Stop> Before(const std::string& problem, bool overridable = true) const;
    // Found while writing or after: throws `refusal` where refused, else
    // warns of `problem` and that the result is written all the same.
    void During(const std::string& problem, const std::string& refusal) const;

private:
    HostServices& host_;
    ApplyOptions options_;
};

}  // namespace zelk
