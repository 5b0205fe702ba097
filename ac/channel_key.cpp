#include "ac/channel_key.h"

namespace ac_detail {

std::optional<ChannelKey> find_channel_key(std::string_view key) {
    constexpr std::string_view prefix = "channel_";
    for (size_t at = key.find(prefix); at != std::string_view::npos; at = key.find(prefix, at + 1)) {
        size_t p = at + prefix.size();
        const size_t first = p;
        while (p < key.size() && key[p] >= '0' && key[p] <= '9') ++p;
        if (p == first || p + 1 >= key.size() || key[p] != '_') continue;
        const char c = key[p + 1];
        if (c == '\n' || c == '\r') continue;
        return ChannelKey{key.substr(first, p - first), c};
    }
    return std::nullopt;
}

}  // namespace ac_detail
