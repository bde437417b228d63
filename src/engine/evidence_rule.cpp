#include "engine/evidence_rule.h"

#include "engine/user_texts.h"

namespace zelk {

std::optional<Stop> EvidenceRule::Before(const std::string& problem, bool overridable) const {
    if (problem.empty()) return std::nullopt;
    if (!options_.ignoreChecksum || !overridable) return Stop{problem, MessageStyle::Critical, overridable};
    host_.ShowWarning(text::AppliedAllTheSame(problem));
    return std::nullopt;
}

void EvidenceRule::During(const std::string& problem, const std::string& refusal) const {
    if (!options_.ignoreChecksum) throw FileError(refusal);
    host_.ShowWarning(text::WrittenAllTheSame(problem));
}

}  // namespace zelk
