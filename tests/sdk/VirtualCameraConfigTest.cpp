// The virtual camera's configuration keys for benchmarks: its link's rate, bursts, a camera that
// keeps quiet about new pictures, and live view.

#include "Config.h"

#include <gtest/gtest.h>

using namespace zarv::vcam;

namespace {

Config parsed(const std::string& text, std::vector<std::string>* errors) {
    errors->clear();
    return parseConfig(text, errors);
}

TEST(VirtualCameraConfig, LinkRateBurstAndQuietShots) {
    std::vector<std::string> errors;
    Config c = parsed("", &errors);
    EXPECT_EQ(c.bandwidth, 0u) << "no limit unless asked";
    EXPECT_EQ(c.burst, 1u);
    EXPECT_TRUE(c.announceShots);

    for (const auto& [text, rate] :
         std::vector<std::pair<std::string, uint64_t>>{{"35000000", 35000000},
                                                       {"35M", 35000000},
                                                       {"300 MB/s", 300000000},
                                                       {"64k", 64000},
                                                       {"1G", 1000000000},
                                                       {"0x100", 256},
                                                       {"0x1B", 27},
                                                       {"0", 0}}) {
        c = parsed("bandwidth = " + text + "\n", &errors);
        EXPECT_TRUE(errors.empty()) << text;
        EXPECT_EQ(c.bandwidth, rate) << text;
    }
    // A bad rate is reported and leaves the link unlimited, never a rate of its own making.
    for (const char* text :
         {"1.5M", "-35M", "fast", "M", "35 T", "99999999999999999999", "99999999999G"}) {
        c = parsed(std::string("bandwidth = ") + text + "\n", &errors);
        EXPECT_EQ(errors.size(), 1u) << text;
        EXPECT_EQ(c.bandwidth, 0u) << text;
    }

    c = parsed("burst = 20\nannounce_shots = no\n", &errors);
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(c.burst, 20u);
    EXPECT_FALSE(c.announceShots);
    for (const char* text : {"0", "1001", "4294967296", "many"}) {
        c = parsed(std::string("burst = ") + text + "\n", &errors);
        EXPECT_EQ(errors.size(), 1u) << text;
        EXPECT_EQ(c.burst, 1u) << text;
    }
    c = parsed("burst = 1000\n", &errors);
    EXPECT_EQ(c.burst, 1000u);
}

TEST(VirtualCameraConfig, LiveViewRateSizeAndRefusal) {
    std::vector<std::string> errors;
    Config c = parsed("", &errors);
    EXPECT_EQ(c.liveViewFps, 30.0);
    EXPECT_EQ(c.liveViewWidth, 1024u);
    EXPECT_EQ(c.liveViewHeight, 680u);
    EXPECT_EQ(c.liveViewRefuse, 0u);

    c = parsed("liveview_fps = 12.5\nliveview_size = 640 x 426\nliveview_refuse = 0x400\n",
               &errors);
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(c.liveViewFps, 12.5);
    EXPECT_EQ(c.liveViewWidth, 640u);
    EXPECT_EQ(c.liveViewHeight, 426u);
    EXPECT_EQ(c.liveViewRefuse, 0x400u);
    // Bad values are reported and leave the defaults: never a frame of no pixels or no rate.
    for (const char* text :
         {"liveview_fps = 0", "liveview_fps = 241", "liveview_fps = nan", "liveview_size = 1024",
          "liveview_size = 0x680", "liveview_size = 1024x8193", "liveview_size = 1024x680x3"}) {
        c = parsed(text, &errors);
        EXPECT_EQ(errors.size(), 1u) << text;
        EXPECT_EQ(c.liveViewFps * c.liveViewWidth * c.liveViewHeight, 30.0 * 1024 * 680) << text;
    }
}

} // namespace
