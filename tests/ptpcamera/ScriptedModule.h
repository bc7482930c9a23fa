// The PTP module over the scripted layer, driven by a minimal program side.

#pragma once

#include "Pictures.h"
#include "PtpClient.h"
#include "ScriptedLayer.h"

#include <gtest/gtest.h>

namespace zarv::ptp::test {

using namespace zarv::ptp::scripted;

inline std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = char((i * 131 + i / 251) & 0xff);
    return s;
}

inline const std::string kShot = "/store_00010001/DCIM/100D850/DSC_0001.JPG";

class PtpModule : public ::testing::Test {
protected:
    void SetUp() override {
        Options o;
        o.layer = &layer;
        o.pieceSize = 1000;
        o.pollMs = 5;
        o.busyRetries = 5;
        o.handBackAfter = std::chrono::milliseconds(50);
        setOptions(o);
        script().buildConfig = &nikonTree;
        unfetched().clear();
    }
    void TearDown() override {
        client.closeModule();
        setOptions({});
    }
    Script& script() { return *layer.script; }
    int count(int Script::*field) {
        std::lock_guard lock(script().mutex);
        return script().*field;
    }
    void connect() {
        ASSERT_TRUE(client.openModule());
        ASSERT_EQ(client.openSource(), kNkMAIDResult_NoError);
    }
    // A shot on the body: the camera announces the new file.
    uint32_t shoot(const std::string& path, const std::string& bytes) {
        script().addFile(path, bytes);
        CameraEvent e;
        e.kind = CameraEvent::FileAdded;
        e.file = pathOf(path);
        script().push(kGpOk, e);
        return client.waitForItem(++shots);
    }

    ScriptedLayer layer;
    PtpClient client;
    size_t shots = 0;
};

} // namespace zarv::ptp::test

using namespace zarv;
using namespace zarv::ptp;
using namespace zarv::ptp::scripted;
using namespace zarv::ptp::test;
