// The test bed itself, through libgphoto2's C API and no module code: libgphoto2 finds the
// emulated D750, captures into SDRAM and onto the card arrive as its events with the source's
// bytes, the body's own acts (shots, unplugging, another process's claim, busyness, a full or
// formatted card, long exposures, settings) reach libgphoto2 as they would from a body.

#include "EmulatedCamera.h"

#include <gphoto2/gphoto2.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

using zarv::ptp::test::EmulatedCamera;

namespace {

struct Event {
    CameraEventType type = GP_EVENT_UNKNOWN;
    std::string folder, name, text;
};

class EmulatedD750 : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!EmulatedCamera::available(&why))
            GTEST_SKIP() << why;
        cam = std::make_unique<EmulatedCamera>();
        onCard = EmulatedCamera::jpeg(20'000, 1);
        if (withPicture)
            cam->addPicture("DSC_0001.JPG", onCard);
        prepare();
        cam->applyToProcess();
        context = gp_context_new();
    }
    void TearDown() override {
        for (Camera* c : cameras) {
            gp_camera_exit(c, context);
            gp_camera_unref(c);
        }
        if (context)
            gp_context_unref(context);
    }

    virtual void prepare() {}

    // Names the model and the port, as a program that found the body does, and connects.
    int open(Camera** out) {
        Camera* c = nullptr;
        if (gp_camera_new(&c) < GP_OK)
            return GP_ERROR;
        cameras.push_back(c);
        CameraAbilitiesList* al = nullptr;
        gp_abilities_list_new(&al);
        gp_abilities_list_load(al, context);
        CameraAbilities a{};
        const int m = gp_abilities_list_lookup_model(al, EmulatedCamera::kModel);
        const int got = m < GP_OK ? m : gp_abilities_list_get_abilities(al, m, &a);
        gp_abilities_list_free(al);
        if (got < GP_OK)
            return got;
        gp_camera_set_abilities(c, a);
        GPPortInfoList* il = nullptr;
        gp_port_info_list_new(&il);
        gp_port_info_list_load(il);
        const int p = gp_port_info_list_lookup_path(il, cam->port().c_str());
        GPPortInfo info;
        const int found = p < GP_OK ? p : gp_port_info_list_get_info(il, p, &info);
        if (found >= GP_OK)
            gp_camera_set_port_info(c, info);
        gp_port_info_list_free(il);
        if (found < GP_OK)
            return found;
        *out = c;
        return gp_camera_init(c, context);
    }
    Camera* connect() {
        Camera* c = nullptr;
        const int rc = open(&c);
        EXPECT_EQ(rc, GP_OK) << gp_result_as_string(rc);
        return rc == GP_OK ? c : nullptr;
    }

    // What detection lists: (model, port) pairs.
    std::vector<std::pair<std::string, std::string>> detect() {
        CameraAbilitiesList* al = nullptr;
        GPPortInfoList* il = nullptr;
        CameraList* list = nullptr;
        gp_abilities_list_new(&al);
        gp_abilities_list_load(al, context);
        gp_port_info_list_new(&il);
        gp_port_info_list_load(il);
        gp_list_new(&list);
        gp_abilities_list_detect(al, il, list, context);
        std::vector<std::pair<std::string, std::string>> found;
        for (int i = 0; i < gp_list_count(list); ++i) {
            const char *name = nullptr, *value = nullptr;
            gp_list_get_name(list, i, &name);
            gp_list_get_value(list, i, &value);
            found.emplace_back(name, value);
        }
        gp_list_free(list);
        gp_port_info_list_free(il);
        gp_abilities_list_free(al);
        return found;
    }

    // Events until one that `wanted` accepts arrives or `timeoutMs` pass (the body sends
    // DevicePropChanged now and then, which libgphoto2 gives as GP_EVENT_UNKNOWN text); the
    // last is the one wanted when it came.
    template <typename Wanted>
    std::vector<Event> waitUntil(Camera* c, Wanted wanted, int timeoutMs = 3000) {
        std::vector<Event> seen;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            CameraEventType t = GP_EVENT_UNKNOWN;
            void* data = nullptr;
            const int rc = gp_camera_wait_for_event(c, 200, &t, &data, context);
            if (rc < GP_OK) {
                seen.push_back({GP_EVENT_UNKNOWN, "", "", "error " + std::to_string(rc)});
                break;
            }
            Event e{t, "", "", ""};
            if ((t == GP_EVENT_FILE_ADDED || t == GP_EVENT_FOLDER_ADDED) && data) {
                const auto* path = static_cast<CameraFilePath*>(data);
                e.folder = path->folder;
                e.name = path->name;
            } else if (t == GP_EVENT_UNKNOWN && data) {
                e.text = static_cast<const char*>(data);
            }
            std::free(data);
            if (t == GP_EVENT_TIMEOUT)
                continue;
            seen.push_back(e);
            if (wanted(e))
                break;
        }
        return seen;
    }
    std::vector<Event> settle(Camera* c, int ms = 600) {
        return waitUntil(
            c, [](const Event&) { return false; }, ms);
    }
    std::vector<Event> waitFor(Camera* c, CameraEventType type, int timeoutMs = 3000) {
        return waitUntil(
            c, [type](const Event& e) { return e.type == type; }, timeoutMs);
    }
    std::vector<Event> waitForText(Camera* c, const std::string& part, int timeoutMs = 3000) {
        return waitUntil(
            c, [&part](const Event& e) { return e.text.find(part) != std::string::npos; },
            timeoutMs);
    }
    static const Event* find(const std::vector<Event>& events, CameraEventType type) {
        for (const Event& e : events)
            if (e.type == type)
                return &e;
        return nullptr;
    }

    std::string fileGet(Camera* c, const std::string& folder, const std::string& name,
                        int* rc = nullptr) {
        CameraFile* file = nullptr;
        gp_file_new(&file);
        const int r =
            gp_camera_file_get(c, folder.c_str(), name.c_str(), GP_FILE_TYPE_NORMAL, file, context);
        if (rc)
            *rc = r;
        std::string bytes;
        const char* data = nullptr;
        unsigned long size = 0;
        if (r >= GP_OK && gp_file_get_data_and_size(file, &data, &size) >= GP_OK)
            bytes.assign(data, size);
        gp_file_unref(file);
        return bytes;
    }
    std::vector<std::string> files(Camera* c, const char* folder, bool folders = false) {
        CameraList* list = nullptr;
        gp_list_new(&list);
        if (folders)
            gp_camera_folder_list_folders(c, folder, list, context);
        else
            gp_camera_folder_list_files(c, folder, list, context);
        std::vector<std::string> names;
        for (int i = 0; i < gp_list_count(list); ++i) {
            const char* name = nullptr;
            gp_list_get_name(list, i, &name);
            names.emplace_back(name);
        }
        gp_list_free(list);
        return names;
    }

    bool withPicture = true;
    std::unique_ptr<EmulatedCamera> cam;
    std::string onCard;
    GPContext* context = nullptr;
    std::vector<Camera*> cameras;
};

TEST_F(EmulatedD750, IsDetectedOnceAsTheD750OnItsPortAndSaysWhoItIs) {
    const auto found = detect();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].first, EmulatedCamera::kModel);
    EXPECT_EQ(found[0].second, cam->port());

    Camera* c = connect();
    ASSERT_TRUE(c);
    CameraText summary;
    ASSERT_EQ(gp_camera_get_summary(c, &summary, context), GP_OK);
    const std::string text = summary.text;
    EXPECT_NE(text.find("Manufacturer: Nikon Corporation"), std::string::npos) << text;
    EXPECT_NE(text.find("Model: D750"), std::string::npos) << text;
    EXPECT_NE(text.find(std::string("Serial Number: ") + EmulatedCamera::kSerial),
              std::string::npos);
    EXPECT_NE(text.find("Vendor Extension ID: 0xa"), std::string::npos);
    EXPECT_EQ(files(c, EmulatedCamera::kCardFolder), std::vector<std::string>{"DSC_0001.JPG"});
    EXPECT_EQ(fileGet(c, EmulatedCamera::kCardFolder, "DSC_0001.JPG"), onCard);
    EXPECT_EQ(cam->logCount("opensession"), 1);
}

TEST_F(EmulatedD750, AnSdramCaptureArrivesAsCapt0000WithTheSourceBytesAndLeavesTheBody) {
    const std::string other = EmulatedCamera::jpeg(7000, 2);
    cam->addSource("OTHER.JPG", other);
    Camera* c = connect();
    ASSERT_TRUE(c);
    ASSERT_EQ(gp_camera_trigger_capture(c, context), GP_OK);
    auto events = waitFor(c, GP_EVENT_FILE_ADDED);
    ASSERT_FALSE(events.empty());
    ASSERT_EQ(events.back().type, GP_EVENT_FILE_ADDED) << events.back().text;
    EXPECT_EQ(events.back().folder, "/");
    EXPECT_EQ(events.back().name, "capt0000.jpg");
    EXPECT_EQ(fileGet(c, "/", "capt0000.jpg"), onCard);
    EXPECT_TRUE(find(waitFor(c, GP_EVENT_CAPTURE_COMPLETE), GP_EVENT_CAPTURE_COMPLETE));
    // each event once: none come through the interrupt pipe as well
    EXPECT_FALSE(find(settle(c), GP_EVENT_FILE_ADDED));

    EXPECT_EQ(cam->logCount("controlmode 1"), 1);
    EXPECT_EQ(cam->logCount("capture sdram"), 1);
    EXPECT_EQ(cam->logCount("getobject 0xffff0001"), 1);
    // transferred, it left SDRAM: the next picture out of it is the next one taken
    cam->command("shoot sdram sources/OTHER.JPG");
    const auto next = waitFor(c, GP_EVENT_FILE_ADDED);
    ASSERT_EQ(next.back().type, GP_EVENT_FILE_ADDED) << next.back().text;
    EXPECT_EQ(next.back().name, "capt0001.jpg");
    EXPECT_TRUE(fileGet(c, "/", "capt0001.jpg") == other);
    EXPECT_EQ(files(c, EmulatedCamera::kCardFolder), std::vector<std::string>{"DSC_0001.JPG"})
        << "nothing went onto the card";
    gp_camera_exit(c, context);
    const auto log = cam->log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "controlmode 0") << "the body is handed back";
    EXPECT_EQ(log.back(), "closesession");
}

TEST_F(EmulatedD750, ACardCaptureArrivesOnTheCardAndReadsInPieces) {
    Camera* c = connect();
    ASSERT_TRUE(c);
    cam->setCaptureTarget(EmulatedCamera::Target::Card);
    ASSERT_EQ(gp_camera_trigger_capture(c, context), GP_OK);
    auto events = waitFor(c, GP_EVENT_FILE_ADDED);
    ASSERT_EQ(events.back().type, GP_EVENT_FILE_ADDED) << events.back().text;
    EXPECT_EQ(events.back().folder, EmulatedCamera::kCardFolder);
    EXPECT_EQ(events.back().name, "DSC_0002.JPG");
    EXPECT_EQ(cam->logCount("capture card"), 1);

    CameraFileInfo info{};
    ASSERT_EQ(
        gp_camera_file_get_info(c, EmulatedCamera::kCardFolder, "DSC_0002.JPG", &info, context),
        GP_OK);
    EXPECT_EQ(info.file.size, onCard.size());
    EXPECT_LE(std::abs(long(info.file.mtime) - long(time(nullptr))), 5) << "taken now";

    std::string got;
    std::vector<char> piece(6000);
    for (;;) {
        uint64_t n = piece.size();
        ASSERT_EQ(gp_camera_file_read(c, EmulatedCamera::kCardFolder, "DSC_0002.JPG",
                                      GP_FILE_TYPE_NORMAL, got.size(), piece.data(), &n, context),
                  GP_OK);
        if (n == 0)
            break;
        got.append(piece.data(), n);
    }
    EXPECT_TRUE(got == onCard) << got.size() << " bytes of " << onCard.size();
    const auto log = cam->log();
    EXPECT_EQ(cam->logCount("getpartialobject"), 4);
    EXPECT_EQ(cam->logCount("getobject"), 0);
    EXPECT_TRUE(find(waitFor(c, GP_EVENT_CAPTURE_COMPLETE), GP_EVENT_CAPTURE_COMPLETE));
    // the card keeps it, and the numbering goes on
    EXPECT_EQ(files(c, EmulatedCamera::kCardFolder),
              (std::vector<std::string>{"DSC_0001.JPG", "DSC_0002.JPG"}));
}

TEST_F(EmulatedD750, TheBodysOwnShotsArriveAsEventsAndLargePicturesComeInPartialReads) {
    const std::string big = EmulatedCamera::jpeg(3 * 1024 * 1024 + 4321, 7);
    const std::string raw = EmulatedCamera::jpeg(5000, 9);
    cam->addSource("BIG.JPG", big);
    cam->addSource("RAW.NEF", raw);
    Camera* c = connect();
    ASSERT_TRUE(c);

    cam->command("shoot card sources/BIG.JPG");
    auto events = waitFor(c, GP_EVENT_FILE_ADDED);
    ASSERT_EQ(events.back().type, GP_EVENT_FILE_ADDED) << events.back().text;
    EXPECT_EQ(events.back().folder, EmulatedCamera::kCardFolder);
    EXPECT_EQ(events.back().name, "DSC_0002.JPG");
    EXPECT_TRUE(fileGet(c, EmulatedCamera::kCardFolder, "DSC_0002.JPG") == big);
    EXPECT_EQ(cam->logCount("getpartialobject"), 4) << "1 MiB at a time";

    cam->command("shoot sdram sources/RAW.NEF");
    events = waitFor(c, GP_EVENT_FILE_ADDED);
    ASSERT_EQ(events.back().type, GP_EVENT_FILE_ADDED) << events.back().text;
    EXPECT_EQ(events.back().folder, "/");
    EXPECT_EQ(events.back().name, "capt0000.nef");
    EXPECT_TRUE(fileGet(c, "/", "capt0000.nef") == raw);

    cam->command("shoot card sources/RAW.NEF");
    events = waitFor(c, GP_EVENT_FILE_ADDED);
    ASSERT_EQ(events.back().type, GP_EVENT_FILE_ADDED) << events.back().text;
    EXPECT_EQ(events.back().name, "DSC_0004.NEF");
    EXPECT_TRUE(fileGet(c, EmulatedCamera::kCardFolder, "DSC_0004.NEF") == raw);

    cam->command("shoot"); // the card, its first JPEG
    events = waitFor(c, GP_EVENT_FILE_ADDED);
    ASSERT_EQ(events.back().type, GP_EVENT_FILE_ADDED) << events.back().text;
    EXPECT_EQ(events.back().name, "DSC_0005.JPG");
    EXPECT_EQ(fileGet(c, EmulatedCamera::kCardFolder, "DSC_0005.JPG"), onCard);
}

TEST_F(EmulatedD750, UnpluggedItFailsEveryCallAndLeavesDetectionPluggedItIsAFreshBody) {
    const std::string before = EmulatedCamera::jpeg(3000, 3), after = EmulatedCamera::jpeg(4000, 4);
    cam->addSource("BEFORE.JPG", before);
    cam->addSource("AFTER.JPG", after);
    Camera* c = connect();
    ASSERT_TRUE(c);
    cam->setCaptureTarget(EmulatedCamera::Target::Card);
    ASSERT_EQ(gp_camera_trigger_capture(c, context), GP_OK);
    ASSERT_EQ(waitFor(c, GP_EVENT_FILE_ADDED).back().name, "DSC_0002.JPG");

    // a picture in SDRAM the host never collects, then the cable goes
    cam->command("shoot sdram sources/BEFORE.JPG");
    cam->command("unplug");
    // libusb's "no device", as libgphoto2's usb1 driver passes it on
    EXPECT_EQ(gp_camera_trigger_capture(c, context), GP_ERROR_IO_USB_FIND);
    const auto events = waitFor(c, GP_EVENT_FILE_ADDED, 500);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().text, "error " + std::to_string(GP_ERROR_IO_USB_FIND));
    EXPECT_TRUE(detect().empty());
    Camera* again = nullptr;
    EXPECT_EQ(open(&again), GP_ERROR_IO_USB_FIND);

    cam->command("plug");
    EXPECT_EQ(detect().size(), 1u);
    Camera* fresh = connect();
    ASSERT_TRUE(fresh);
    EXPECT_EQ(files(fresh, EmulatedCamera::kCardFolder),
              (std::vector<std::string>{"DSC_0001.JPG", "DSC_0002.JPG"}))
        << "the card stays";
    CameraText summary;
    EXPECT_EQ(gp_camera_get_summary(c, &summary, context), GP_ERROR_IO_USB_FIND)
        << "the connection from before the unplugging stays dead";
    // SDRAM was emptied: the next picture out of it is the one taken now
    cam->command("shoot sdram sources/AFTER.JPG");
    const auto shot = waitFor(fresh, GP_EVENT_FILE_ADDED);
    ASSERT_EQ(shot.back().type, GP_EVENT_FILE_ADDED) << shot.back().text;
    EXPECT_TRUE(fileGet(fresh, "/", shot.back().name) == after);
}

TEST_F(EmulatedD750, WhileAnotherProcessHoldsTheInterfaceInitFailsAsAClaimedDevice) {
    cam->command("hold");
    Camera* c = nullptr;
    EXPECT_EQ(open(&c), GP_ERROR_IO_USB_CLAIM);
    EXPECT_EQ(detect().size(), 1u) << "still on the bus";
    cam->command("release");
    EXPECT_TRUE(connect());
}

TEST_F(EmulatedD750, BusyAnswersTheNextOperationsWithDeviceBusy) {
    Camera* c = connect();
    ASSERT_TRUE(c);
    cam->command("busy 2");
    EXPECT_EQ(gp_camera_trigger_capture(c, context), GP_ERROR_CAMERA_BUSY);
    EXPECT_EQ(gp_camera_trigger_capture(c, context), GP_ERROR_CAMERA_BUSY);
    EXPECT_EQ(cam->logCount("busy"), 2);
    EXPECT_EQ(cam->logCount("capture sdram"), 0);
    ASSERT_EQ(gp_camera_trigger_capture(c, context), GP_OK);
    const auto events = waitFor(c, GP_EVENT_FILE_ADDED);
    EXPECT_EQ(events.back().name, "capt0000.jpg");
}

TEST_F(EmulatedD750, AFullCardRefusesCaptureOntoItButNotIntoSdramUntilFormatted) {
    Camera* c = connect();
    ASSERT_TRUE(c);
    cam->command("full");
    cam->setCaptureTarget(EmulatedCamera::Target::Card);
    // StoreFull, which libgphoto2 turns into its generic error
    EXPECT_EQ(gp_camera_trigger_capture(c, context), GP_ERROR);
    EXPECT_EQ(cam->logCount("storefull"), 1);
    CameraStorageInformation* storage = nullptr;
    int n = 0;
    ASSERT_EQ(gp_camera_get_storageinfo(c, &storage, &n, context), GP_OK);
    ASSERT_EQ(n, 1);
    EXPECT_EQ(storage[0].freekbytes, 0u);
    EXPECT_EQ(storage[0].freeimages, 0u);
    std::free(storage);

    cam->setCaptureTarget(EmulatedCamera::Target::Sdram);
    ASSERT_EQ(gp_camera_trigger_capture(c, context), GP_OK);
    auto events = waitFor(c, GP_EVENT_FILE_ADDED);
    EXPECT_EQ(events.back().name, "capt0000.jpg");
    bool announced = false;
    for (const Event& e : events)
        announced = announced || e.text == "PTP Event 400a, Param1 00010001";
    EXPECT_TRUE(announced) << "StoreFull reaches libgphoto2 as an unknown event";

    cam->command("format");
    cam->setCaptureTarget(EmulatedCamera::Target::Card);
    EXPECT_EQ(gp_camera_trigger_capture(c, context), GP_OK);
}

TEST_F(EmulatedD750, FormatTakesTheNewPicturesAndTheNextRepeatsAnEarlierPath) {
    Camera* c = connect();
    ASSERT_TRUE(c);
    cam->setCaptureTarget(EmulatedCamera::Target::Card);
    ASSERT_EQ(gp_camera_trigger_capture(c, context), GP_OK);
    ASSERT_EQ(waitFor(c, GP_EVENT_FILE_ADDED).back().name, "DSC_0002.JPG");
    cam->command("shoot");
    ASSERT_EQ(waitFor(c, GP_EVENT_FILE_ADDED).back().name, "DSC_0003.JPG");

    cam->command("format");
    const auto removed = waitForText(c, "PTP ObjectRemoved");
    ASSERT_FALSE(removed.empty());
    EXPECT_EQ(removed.back().text.rfind("PTP ObjectRemoved, Param1 ", 0), 0u);
    waitForText(c, "PTP ObjectRemoved"); // the second picture's
    EXPECT_EQ(files(c, EmulatedCamera::kCardFolder), std::vector<std::string>{"DSC_0001.JPG"})
        << "what was on the card before stays";

    ASSERT_EQ(gp_camera_trigger_capture(c, context), GP_OK);
    const auto events = waitFor(c, GP_EVENT_FILE_ADDED);
    EXPECT_EQ(events.back().folder, EmulatedCamera::kCardFolder);
    EXPECT_EQ(events.back().name, "DSC_0002.JPG");
}

TEST_F(EmulatedD750, AnExposureKeepsTheBodyBusyBeforeItsEvents) {
    Camera* c = connect();
    ASSERT_TRUE(c);
    cam->command("exposure 600");
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(gp_camera_trigger_capture(c, context), GP_OK);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(600))
        << "libgphoto2 polls DeviceReady until the exposure is over";
    EXPECT_GE(cam->logCount("busy"), 2);
    EXPECT_EQ(waitFor(c, GP_EVENT_FILE_ADDED).back().name, "capt0000.jpg");
}

TEST_F(EmulatedD750, SettingsAreTheBodysAndItsDialHasTheLastWord) {
    const std::string raw = EmulatedCamera::jpeg(6000, 5);
    cam->addSource("RAW.NEF", raw);
    Camera* c = connect();
    ASSERT_TRUE(c);
    const auto value = [&](const char* name, bool* readonly = nullptr) {
        CameraWidget* w = nullptr;
        std::string v = "?";
        if (gp_camera_get_single_config(c, name, &w, context) < GP_OK)
            return v;
        const char* text = nullptr;
        if (gp_widget_get_value(w, &text) >= GP_OK && text)
            v = text;
        int ro = 0;
        gp_widget_get_readonly(w, &ro);
        if (readonly)
            *readonly = ro != 0;
        gp_widget_free(w);
        return v;
    };
    const auto set = [&](const char* name, const char* v) {
        CameraWidget* w = nullptr;
        int rc = gp_camera_get_single_config(c, name, &w, context);
        if (rc < GP_OK)
            return rc;
        gp_widget_set_value(w, v);
        rc = gp_camera_set_single_config(c, name, w, context);
        gp_widget_free(w);
        return rc;
    };

    EXPECT_EQ(value("iso"), "100");
    EXPECT_EQ(set("iso", "400"), GP_OK);
    EXPECT_EQ(value("iso"), "400");
    EXPECT_EQ(set("whitebalance", "Daylight"), GP_OK);
    EXPECT_EQ(value("whitebalance"), "Daylight");
    bool readonly = false;
    EXPECT_EQ(value("expprogram", &readonly), "M");
    EXPECT_TRUE(readonly) << "the dial sets it";
    EXPECT_LT(set("expprogram", "A"), GP_OK);
    EXPECT_EQ(cam->logCount("setprop 0x500f 400"), 1);
    EXPECT_EQ(cam->logCount("setprop 0x5005 4"), 1);
    EXPECT_EQ(cam->logCount("setprop 0x500e"), 0);

    // the photographer turns the dial to A: announced, and the shutter speed is no longer
    // the host's
    cam->command("set 0x500e 3");
    const auto events = waitForText(c, "PTP Property 500e changed");
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().text, "PTP Property 500e changed, \"expprogram\" to \"A\"");
    value("shutterspeed", &readonly);
    EXPECT_TRUE(readonly);
    value("f-number", &readonly);
    EXPECT_FALSE(readonly);

    EXPECT_EQ(set("imagequality", "NEF (Raw)"), GP_OK);
    EXPECT_EQ(cam->logCount("setprop 0x5004 4"), 1);
    ASSERT_EQ(gp_camera_trigger_capture(c, context), GP_OK);
    const auto shot = waitFor(c, GP_EVENT_FILE_ADDED);
    ASSERT_EQ(shot.back().type, GP_EVENT_FILE_ADDED) << shot.back().text;
    EXPECT_EQ(shot.back().name, "capt0000.nef");
    EXPECT_TRUE(fileGet(c, "/", "capt0000.nef") == raw);

    // NEF+JPEG: two pictures out of SDRAM, one after the other
    EXPECT_EQ(set("imagequality", "NEF+Fine"), GP_OK);
    ASSERT_EQ(gp_camera_trigger_capture(c, context), GP_OK);
    const auto nef = waitFor(c, GP_EVENT_FILE_ADDED);
    const auto jpeg = waitFor(c, GP_EVENT_FILE_ADDED);
    ASSERT_EQ(nef.back().type, GP_EVENT_FILE_ADDED) << nef.back().text;
    ASSERT_EQ(jpeg.back().type, GP_EVENT_FILE_ADDED) << jpeg.back().text;
    EXPECT_EQ(nef.back().name, "capt0001.nef");
    EXPECT_EQ(jpeg.back().name, "capt0002.jpg");
    EXPECT_TRUE(fileGet(c, "/", "capt0001.nef") == raw);
    EXPECT_EQ(fileGet(c, "/", "capt0002.jpg"), onCard);
}

class EmulatedD750WithoutCard : public EmulatedD750 {
protected:
    EmulatedD750WithoutCard() { withPicture = false; }
    void prepare() override { cam->addSource("SOURCE.JPG", onCard); }
};

TEST_F(EmulatedD750WithoutCard, ShowsAnEmptyDcimAndItsFirstShotMakesItsFolder) {
    Camera* c = connect();
    ASSERT_TRUE(c);
    EXPECT_EQ(files(c, "/store_00010001", true), std::vector<std::string>{"DCIM"});
    EXPECT_TRUE(files(c, "/store_00010001/DCIM", true).empty());
    EXPECT_TRUE(files(c, "/store_00010001/DCIM").empty());

    cam->setCaptureTarget(EmulatedCamera::Target::Card);
    ASSERT_EQ(gp_camera_trigger_capture(c, context), GP_OK);
    const auto events = waitFor(c, GP_EVENT_FILE_ADDED);
    ASSERT_EQ(events.back().type, GP_EVENT_FILE_ADDED) << events.back().text;
    EXPECT_EQ(events.back().folder, EmulatedCamera::kCardFolder);
    EXPECT_EQ(events.back().name, "DSC_0001.JPG");
    ASSERT_TRUE(find(events, GP_EVENT_FOLDER_ADDED));
    EXPECT_EQ(find(events, GP_EVENT_FOLDER_ADDED)->name, "100NIKON");
    EXPECT_EQ(fileGet(c, EmulatedCamera::kCardFolder, "DSC_0001.JPG"), onCard);
}

// udev's view of the same body (for the whole program's tests): its bus position, id and
// serial number are those the emulated camera answers with, and libgphoto2 knows the id as
// the D750.
TEST(EmulatedD750Record, TheUdevRecordDescribesTheSameBody) {
    std::ifstream in(ZARV_TEST_DATA "/nikon-d750.umockdev");
    ASSERT_TRUE(in) << "tests/data/nikon-d750.umockdev";
    std::map<std::string, std::string> body;
    for (std::string line; std::getline(in, line) && !line.empty();) {
        const auto eq = line.find('=');
        if (line.rfind("E: ", 0) == 0 && eq != std::string::npos)
            body[line.substr(3, eq - 3)] = line.substr(eq + 1);
        else if (line.rfind("A: ", 0) == 0 && eq != std::string::npos)
            body["attr " + line.substr(3, eq - 3)] = line.substr(eq + 1);
    }
    EXPECT_EQ("usb:" + body["BUSNUM"] + "," + body["DEVNUM"], EmulatedCamera::kPort);
    EXPECT_EQ(body["ID_VENDOR_ID"] + ":" + body["ID_MODEL_ID"], EmulatedCamera::kUsbId);
    EXPECT_EQ(body["attr product"], "NIKON DSC D750");
    EXPECT_EQ(body["ID_SERIAL_SHORT"], EmulatedCamera::kSerial);
    EXPECT_EQ(body["DEVNAME"], "/dev/bus/usb/" + body["BUSNUM"] + "/" + body["DEVNUM"]);

    CameraAbilitiesList* al = nullptr;
    gp_abilities_list_new(&al);
    gp_abilities_list_load(al, nullptr);
    const int m = gp_abilities_list_lookup_model(al, EmulatedCamera::kModel);
    CameraAbilities a{};
    if (m >= GP_OK)
        gp_abilities_list_get_abilities(al, m, &a);
    gp_abilities_list_free(al);
    ASSERT_GE(m, GP_OK);
    char id[10];
    std::snprintf(id, sizeof id, "%04x:%04x", a.usb_vendor, a.usb_product);
    EXPECT_EQ(std::string(id), EmulatedCamera::kUsbId);
}

} // namespace
