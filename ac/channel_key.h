#pragma once
// The channel part of a value key: the first "channel_<digits>_<c>" in it,
// the way a search for channel_(\d+)_(.+?) finds it. The lazy tail takes one
// character, any but a line break, so "channel_2_ab" names channel 2's "a".

#include <optional>
#include <string_view>

namespace ac_detail {

struct ChannelKey {
    std::string_view digits;  // at least one of 0-9, not checked for range
    char sub = 0;
};

std::optional<ChannelKey> find_channel_key(std::string_view key);

}  // namespace ac_detail
