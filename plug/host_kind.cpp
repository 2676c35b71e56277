#include "plug/host_kind.h"

#include <cctype>
#include <cstring>

namespace {

// Host strings come from 256-byte buffers.
constexpr int kHostTextSize = 256;

void LowerCopy(char* field, const char* text) {
    int i = 0;
    for (; text && text[i] && i < kHostTextSize - 1; ++i)
        field[i] = char(std::tolower(static_cast<unsigned char>(text[i])));
    field[i] = 0;
}

struct ProductRule {
    const char* mWord;
    int32_t mKind;
};

} // namespace

int32_t ClassifyHost(const char* vendor, const char* product) {
    char v[kHostTextSize];
    char p[kHostTextSize];
    LowerCopy(v, vendor);
    LowerCopy(p, product);
    // Tried in this order; the first match decides.
    static const ProductRule kBefore[] = {
        {"reaper", HostReaper},     {"cubase", HostCubase},         {"nuendo", HostNuendo},
        {"cakewalk", HostCakewalk}, {"samplitude", HostSamplitude}, {"fruity", HostFruity},
    };
    static const ProductRule kAfter[] = {
        {"melodyne", HostMelodyne},
        {"vstmanlib", HostVstManLib},
        {"com.apple.audio.aulab", HostAuLab},
        {"ardour", HostArdour},
    };
    for (const ProductRule& rule : kBefore)
        if (std::strstr(p, rule.mWord)) return rule.mKind;
    if (std::strstr(v, "ableton") && std::strstr(p, "live")) return HostLive;
    for (const ProductRule& rule : kAfter)
        if (std::strstr(p, rule.mWord)) return rule.mKind;
    return HostOther;
}

int32_t PackHostVersion(int32_t decimal) {
    if (decimal < 0) return 0;
    // Majors above 32767 would overflow the packed word; they are capped there.
    int32_t major = decimal / 10000;
    if (major > 32767) major = 32767;
    return major * 65536 + ((decimal % 10000) / 100) * 256 + decimal % 100;
}
