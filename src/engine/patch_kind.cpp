#include "engine/patch_kind.h"

#include <cstring>

namespace zelk {

PatchKind DetectKind(InputFile& patch) {
    std::uint8_t head[5] = {};
    const std::size_t got = patch.ReadAt(0, head);
    const auto starts = [&](std::string_view magic) {
        return got >= magic.size() && std::memcmp(head, magic.data(), magic.size()) == 0;
    };
    if (starts("PATCH")) return PatchKind::Ips;
    if (starts("IPS32")) return PatchKind::Ips32;
    if (starts("UPS1")) return PatchKind::Ups;
    if (starts("BPS1")) return PatchKind::Bps;
    return PatchKind::Zelk;
}

std::string_view KindName(PatchKind kind) {
    switch (kind) {
        case PatchKind::Ips: return "IPS";
        case PatchKind::Ips32: return "IPS32";
        case PatchKind::Ups: return "UPS";
        case PatchKind::Bps: return "BPS";
        case PatchKind::Zelk: break;
    }
    return "ZelkPatch";
}

}  // namespace zelk
