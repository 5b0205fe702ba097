// The channel part of a key is read by hand; it must find what the search
// pattern it stands for finds, on keys built to hit its corners.
#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>

#include "ac/channel_key.h"

TEST(ChannelKey, FindsWhatTheSearchPatternFinds) {
    const std::regex pattern("channel_(\\d+)_(.+?)", std::regex::ECMAScript);
    const std::string pieces[] = {"channel_", "channel", "chan", "_", "0", "12", "007", "a", "b", "f", "x",
                                  "\n", "\r", std::string(1, '\0'), "\xe9\x80\x9a", "channel_3_"};
    std::mt19937 rng(20261209);
    size_t found = 0;
    for (int n = 0; n < 20000; ++n) {
        std::string key;
        for (int k = std::uniform_int_distribution<int>(0, 6)(rng); k > 0; --k)
            key += pieces[std::uniform_int_distribution<int>(0, int(std::size(pieces)) - 1)(rng)];
        std::smatch m;
        const bool expected = std::regex_search(key, m, pattern);
        const auto got = ac_detail::find_channel_key(key);
        ASSERT_EQ(got.has_value(), expected) << testing::PrintToString(key);
        if (!expected) continue;
        ++found;
        EXPECT_EQ(std::string(got->digits) + "|" + got->sub, m[1].str() + "|" + m[2].str()) << testing::PrintToString(key);
    }
    EXPECT_TRUE(found > 1000u && found < 18000u) << found << " found: both outcomes must be tried often";
}
