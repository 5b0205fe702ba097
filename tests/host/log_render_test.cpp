#include <gtest/gtest.h>

#include <memory>

#include "host/vdevice.h"

namespace {

struct RecordingController : SMDController {
    std::vector<std::string> lines;
    void Log(const std::string& rendered) override { lines.push_back(rendered); }
};

struct Dev : SMDSPDevice {
    bool LoadFromCache(const unsigned char*, int) override { return true; }
};

TEST(InfoLog, RendersPlaceholdersInOrderWithByteCountsAsNumbers) {
    auto c = std::make_shared<RecordingController>();
    Dev d;
    d.Init(c, 7);
    d.InfoLog("X:ProcotolError {} read p is {} not {}", d.DataId(), static_cast<uint8_t>(2), 0);
    d.InfoLog("ProcotolError %u read 40_43 m is %d max %d", d.DataId(), static_cast<uint8_t>(1),
              static_cast<uint8_t>(0));
    d.InfoLog("{} {} {}", 1);
    ASSERT_EQ(c->lines.size(), 3u);
    EXPECT_EQ(c->lines[0], "X:ProcotolError 7 read p is 2 not 0");
    EXPECT_EQ(c->lines[1], "ProcotolError %u read 40_43 m is %d max %d");
    EXPECT_EQ(c->lines[2], "1 {} {}");
}

TEST(InfoLog, GoesNowhereOnceTheControllerIsGone) {
    auto c = std::make_shared<RecordingController>();
    Dev d;
    d.Init(c, 7);
    std::weak_ptr<RecordingController> w = c;
    c.reset();
    EXPECT_TRUE(w.expired());
    d.InfoLog("{} after", d.DataId());  // must not crash
}

}  // namespace
