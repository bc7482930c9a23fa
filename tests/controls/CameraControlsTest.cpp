// The camera controls against the virtual camera loaded through the real session, and against a
// slow fake camera for the threads.

#include "ControlsTestSupport.h"

#include "platform/Path.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTimer>

#include <chrono>
#include <thread>

using namespace zarv;
using namespace zarv::test;

namespace {

const QString kSunny = QStringLiteral("kNkMAIDCapability_WBTuneSunny");
const QString kAperture = QStringLiteral("kNkMAIDCapability_Aperture");
const QString kImageSize = QStringLiteral("kNkMAIDCapability_ImageSize");
const QString kSaveMedia = QStringLiteral("kNkMAIDCapability_SaveMedia");
const QString kCompression = QStringLiteral("kNkMAIDCapability_CompressionLevel");
const QString kExposureMode = QStringLiteral("kNkMAIDCapability_ExposureMode");

QVariant stored(const QString& key) {
    return UserDefaults::standard().objectForKey(key);
}

TEST_F(ControlsTest, AReadPassFillsEveryListAndSlider) {
    connectCamera();
    setCameraValue(kSunny, 2.0);
    ASSERT_TRUE(readPass());
    EXPECT_EQ(reports.lists.size(), 8);
    EXPECT_EQ(reports.sliders.size(), 8);

    // The compression level's current choice is the third.
    const PopupList compression = reports.lists.value("compressionlevelpopup");
    EXPECT_EQ(compression.items, (QStringList{"JPEG Basic", "JPEG Normal", "JPEG Fine", "RAW"}));
    EXPECT_EQ(compression.selection, 2);
    // Save media: three lines, the camera saving to SDRAM only.
    const PopupList media = reports.lists.value("savemediapopup");
    EXPECT_EQ(media.items, (QStringList{"Card Only", "SDRAM Only", "Card + SDRAM"}));
    EXPECT_EQ(media.selection, 1);
    // A range of -6..6 at 2.
    const SliderSetup sunny = reports.sliders.value("tunesunlight");
    EXPECT_EQ(sunny.minimum, -6.0);
    EXPECT_EQ(sunny.maximum, 6.0);
    EXPECT_EQ(sunny.value, 2.0);
    EXPECT_EQ(sunny.label, "WB Tune Sunny");
    EXPECT_EQ(reports.sliders.value("exposurecomp").minimum, -5.0);
    EXPECT_TRUE(reports.sliders.contains("tuneflurorescent"));

    EXPECT_EQ(stored(kPrefModelOfCurrentConnectedCamera), "Settings For: Zarv Virtual Camera");
    int reads = 0;
    for (const SessionCall& c : currentSubject()->calls())
        reads += c.operation == u"GetCameraInfo";
    EXPECT_EQ(reads, 16);
    EXPECT_TRUE(currentSubject()->writes().empty()) << "a read pass writes nothing";
    expectAllCallsOnQueue();
}

TEST_F(ControlsTest, ACapabilityTheCameraDoesNotOffer) {
    setCameraConfig("fault_unavailable = 0x8110\nfault_unavailable = 0x811C\n");
    connectCamera();
    ASSERT_TRUE(readPass());
    EXPECT_EQ(reports.lists.value("compressionlevelpopup").items, QStringList{kUnsupportedItem});
    EXPECT_FALSE(reports.sliders.contains("tunesunlight")) << "its slider keeps what it showed";
    EXPECT_EQ(reports.sliders.size(), 7);
    // Its placeholder is no choice: nothing is written for it.
    currentSubject()->clearCalls();
    controls->ibClickedOnPopupButton("compressionlevelpopup", 0);
    cameraValue(kImageSize);
    EXPECT_TRUE(currentSubject()->writes().empty());
}

TEST_F(ControlsTest, ChoicesAndSlidersWriteToTheCamera) {
    connectCamera();
    // Nothing read yet: a slider has no range to keep to, a list no choices.
    EXPECT_FALSE(controls->ibClickedOnSlider("tunesunlight", 3));
    controls->ibClickedOnPopupButton("aperturepopup", 4);
    EXPECT_EQ(cameraValue(kAperture), 4) << "unchanged";
    ASSERT_TRUE(readPass());
    currentSubject()->clearCalls();

    controls->ibClickedOnPopupButton(" FileSizePopup ", 2);
    EXPECT_EQ(cameraValue(kImageSize), 3);
    controls->ibClickedOnPopupButton("filesizepopup", 0);
    EXPECT_EQ(cameraValue(kImageSize), 1) << "position 0 of an enumeration writes 1";
    controls->ibClickedOnPopupButton("savemediapopup", 0);
    EXPECT_EQ(cameraValue(kSaveMedia), 0) << "position 0 of the save media writes 0";

    // Released at 1.7: the whole step 1 is written as a real number.
    EXPECT_EQ(controls->ibClickedOnSlider("TuneSunlight", 1.7), 1.0);
    EXPECT_EQ(cameraValue(kSunny), 1.0);
    const auto w = currentSubject()->writes();
    ASSERT_FALSE(w.empty());
    EXPECT_EQ(w.back().value.typeId(), QMetaType::Double);
    EXPECT_EQ(controls->ibClickedOnSlider("tunesunlight", -0.5), 0.0);
    EXPECT_EQ(cameraValue(kSunny), 0.0);
    EXPECT_EQ(controls->ibClickedOnSlider("tunesunlight", 40), 6.0) << "kept within the range";
    EXPECT_EQ(cameraValue(kSunny), 6.0);
    EXPECT_FALSE(controls->ibClickedOnSlider("nosuchslider", 1));

    // Choices that cannot be made: raw, the exposure mode, past the list, unknown lists.
    const size_t before = currentSubject()->writes().size();
    controls->ibClickedOnPopupButton("compressionlevelpopup", 3); // "RAW"
    controls->ibClickedOnPopupButton("exposuremodepopup", 1);
    controls->ibClickedOnPopupButton("aperturepopup", 8);
    controls->ibClickedOnPopupButton("aperturepopup", -1);
    controls->ibClickedOnPopupButton("", 0);
    controls->ibClickedOnPopupButton("tunesunlight", 0);
    EXPECT_EQ(cameraValue(kCompression), 3);
    EXPECT_EQ(cameraValue(kExposureMode), 1);
    EXPECT_EQ(currentSubject()->writes().size(), before);
    controls->ibClickedOnPopupButton("compressionlevelpopup", 1);
    EXPECT_EQ(cameraValue(kCompression), 2);
    expectAllCallsOnQueue();
}

TEST_F(ControlsTest, ResetAndSetUpFromTheConnectedModelsReading) {
    connectCamera();
    setCameraValue(kSunny, 2.0);
    ASSERT_TRUE(onQueue([&] { return controls->ReadCurrentCameraSettings(); }));
    const QVariantMap all = stored(kPrefNikonSettingsForAllModels).toMap();
    ASSERT_TRUE(all.contains(kVirtualCameraName));
    EXPECT_EQ(all.value(kVirtualCameraName).toMap().size(), 27);

    // Another model, first in the store's key order, read at -3.
    QVariantMap other = all.value(kVirtualCameraName).toMap();
    QVariantMap sunny = other.value(kSunny).toMap();
    sunny.insert("currentsetting", -3.0);
    other.insert(kSunny, sunny);
    QVariantMap store = all;
    store.insert("AAA First Model", other);
    UserDefaults::standard().setObject(kPrefNikonSettingsForAllModels, store);

    // Before any connection is known the first model's reading counts.
    EXPECT_EQ(controls->ibClickedOnReset("tunesunlight")->value, -3.0);
    controls->ibHandleCameraConnected();
    ASSERT_TRUE(waitUntil([&] { return reports.readPasses == 1; }));
    currentSubject()->clearCalls();
    ASSERT_EQ(controls->ibClickedOnSlider("tunesunlight", 5), 5.0);
    ASSERT_EQ(cameraValue(kSunny), 5.0);

    const auto reset = controls->ibClickedOnReset(" TuneSunlight");
    ASSERT_TRUE(reset);
    EXPECT_EQ(reset->value, 2.0) << "the connected camera's model";
    EXPECT_EQ(reset->label, "WB Tune Sunny");
    EXPECT_EQ(cameraValue(kSunny), 5.0) << "a reset writes nothing";
    EXPECT_EQ(currentSubject()->writes().size(), 1u);

    reports.sliders.clear();
    controls->ibSetupFineTuneSettings();
    EXPECT_EQ(reports.sliders.size(), 8);
    EXPECT_EQ(reports.sliders.value("tunesunlight").value, 2.0);
    EXPECT_EQ(currentSubject()->writes().size(), 1u);

    // After removal the first model counts again; with no readings nothing is set up.
    setSubject(nullptr);
    controls->ibHandleCameraRemoved();
    ASSERT_TRUE(waitUntil([&] { return reports.pagesPrepared.size() == 2; }));
    EXPECT_EQ(controls->ibClickedOnReset("tunesunlight")->value, -3.0);
    UserDefaults::standard().removeObject(kPrefNikonSettingsForAllModels);
    EXPECT_FALSE(controls->ibClickedOnReset("tunesunlight"));
    EXPECT_FALSE(controls->ibClickedOnReset("nosuchslider"));
}

// What the sliders are set up from goes to the log: each entry of a range read with its type,
// the stored models and the reading taken, the released position as a whole number.
TEST_F(ControlsTest, WhatTheSlidersAreSetUpFromIsLogged) {
    connectCamera();
    setCameraValue(kSunny, 2.0);
    LogCapture log;
    ASSERT_TRUE(readPass());
    EXPECT_TRUE(log.contains("obj[currentsetting] has type[double] with value[2]"));
    EXPECT_TRUE(log.contains("obj[key] has type[QString] with value[WB Tune Sunny]"));
    EXPECT_TRUE(log.contains("obj[lowervalue] has type[double] with value[-6]"));

    EXPECT_EQ(controls->ibClickedOnSlider("tunesunlight", -1.7), -1.0);
    EXPECT_TRUE(log.contains("slider value as double = -1.70.."));
    EXPECT_TRUE(log.contains("slider value as int    = -1.."));

    ASSERT_TRUE(onQueue([&] { return controls->ReadCurrentCameraSettings(); }));
    reports.fineTuneSubviews.removeAll("tuneflash");
    reports.sliders.clear();
    controls->ibSetupFineTuneSettings();
    EXPECT_TRUE(log.contains("all the nikon models = (" + kVirtualCameraName + ")"));
    EXPECT_TRUE(log.contains("current setting: "));
    EXPECT_TRUE(log.contains("info[" + kSunny + "] = "));
    EXPECT_EQ(log.count("found subview with identifier[tunesunlight]"), 2) << "page, then slider";
    EXPECT_EQ(log.count("now we can setup slider..."), 7);
    EXPECT_EQ(log.count("Dont know which slider to setup???..."), 1);
    EXPECT_EQ(reports.sliders.size(), 7);
    EXPECT_FALSE(reports.sliders.contains("tuneflash"));
}

TEST_F(ControlsTest, ConnectionAppliesTheDefaultsAndRemovalClearsTheLabels) {
    connectCamera();
    QVariantMap defaults{{"cameradevicename", "Zarv Virtual Camera"},
                         {kSunny, QVariantMap{{"currentsetting", 3.0}}},
                         {kAperture, QVariantMap{{"currentsetting", 6}}}};
    for (const QString& c : pageCapabilities())
        if (capabilityRow(c)->kind == u"enumtype" && !defaults.contains(c))
            defaults.insert(c, QVariantMap{{"currentsetting", 1}});
    UserDefaults::standard().setObject(kPrefDefaultCameraSettings, defaults);

    controls->ibHandleCameraConnected();
    ASSERT_TRUE(waitUntil([&] { return reports.readPasses == 1; }));
    EXPECT_EQ(reports.pagesPrepared, QList<bool>{true});
    EXPECT_EQ(stored(kPrefCameraConnected), true);
    EXPECT_EQ(stored(kPrefModelOfCurrentConnectedCamera), "Settings For: Zarv Virtual Camera");
    EXPECT_EQ(cameraValue(kSunny), 3.0);
    EXPECT_EQ(cameraValue(kAperture), 6);
    EXPECT_EQ(cameraValue(kSaveMedia), 0) << "missing from the set: written as 0";
    EXPECT_EQ(reports.sliders.value("tunesunlight").value, 3.0) << "read back after writing";
    EXPECT_EQ(reports.lists.value("aperturepopup").selection, 5);

    // Applied again from the popover.
    setCameraValue(kSunny, -1.0);
    CameraControls::SettingsReport report;
    EXPECT_EQ(applied(&report), CameraControls::ApplyOutcome::Applied);
    EXPECT_EQ(cameraValue(kSunny), 3.0);
    EXPECT_TRUE(report.invalid.isEmpty() && report.refused.isEmpty());

    // Stored defaults with an invalid entry: the others are applied, the report names it.
    defaults.insert(kAperture, QVariantMap{{"currentsetting", 0}});
    UserDefaults::standard().setObject(kPrefDefaultCameraSettings, defaults);
    setCameraValue(kSunny, -1.0);
    currentSubject()->clearCalls();
    EXPECT_EQ(applied(&report), CameraControls::ApplyOutcome::Applied);
    EXPECT_EQ(report.invalid, QStringList{kAperture});
    EXPECT_EQ(cameraValue(kSunny), 3.0);
    EXPECT_EQ(cameraValue(kAperture), 6) << "as the camera had it";
    const int passes = reports.readPasses;

    // Removed: labels cleared, page one hidden.
    const qsizetype prepared = reports.pagesPrepared.size();
    setSubject(nullptr);
    controls->ibHandleCameraRemoved();
    ASSERT_TRUE(waitUntil([&] { return reports.pagesPrepared.size() == prepared + 1; }));
    EXPECT_FALSE(reports.pagesPrepared.last());
    EXPECT_EQ(stored(kPrefCameraConnected), false);
    EXPECT_EQ(stored(kPrefModelOfCurrentConnectedCamera), QString());
    // A read pass with no camera reads nothing and reports nothing.
    LogCapture log;
    controls->ibReadCurrentCameraSettings();
    queue->sync([] {});
    QCoreApplication::processEvents();
    EXPECT_TRUE(log.contains("Camera NOT connected"));
    EXPECT_EQ(reports.readPasses, passes);
}

TEST_F(ControlsTest, DefaultsSavedOnOneModelImportedOnAnother) {
    UserDefaults::standard().setObject(kPrefCameraSettingsFileVersion, "1.0");
    connectCamera(deviceInfo("Nikon D750"));
    setCameraValue(kSunny, 4.0);
    setCameraValue(kAperture, 5);
    ASSERT_EQ(answerOf(&CameraControls::SaveAsDefaults), true);
    const QVariantMap defaults = stored(kPrefDefaultCameraSettings).toMap();
    EXPECT_EQ(defaults.value("cameradevicename"), "Nikon D750");
    EXPECT_EQ(defaults.value("prefCameraSettingsFileVersion"), "1.0");
    EXPECT_TRUE(defaults.value("datesaved").toDateTime().isValid());
    EXPECT_EQ(defaults.value(kSunny).toMap().value("currentsetting").toDouble(), 4.0);

    QString error;
    const auto path = controls->createPlistFile(&error);
    ASSERT_TRUE(path) << error.toStdString();
    EXPECT_EQ(QFileInfo(*path).absolutePath(), temporaryFolderForApplication());
    EXPECT_TRUE(QFileInfo(*path).fileName().startsWith("Nikon D750 DefaultCameraSettings_"));

    // Another model connected, its settings elsewhere, the defaults gone.
    queue->sync([&] { camera->setFUsbDeviceInfo(deviceInfo("Nikon Z6")); });
    setCameraValue(kSunny, -2.0);
    setCameraValue(kAperture, 1);
    UserDefaults::standard().removeObject(kPrefDefaultCameraSettings);
    EXPECT_EQ(imported(*path), CameraControls::ImportOutcome::Imported);
    EXPECT_EQ(cameraValue(kSunny), 4.0);
    EXPECT_EQ(cameraValue(kAperture), 5);
    EXPECT_EQ(stored(kPrefDefaultCameraSettings).toMap().value("cameradevicename"), "Nikon D750");
    EXPECT_TRUE(waitUntil([&] { return reports.readPasses == 1; })) << "read back";
    EXPECT_EQ(reports.sliders.value("tunesunlight").value, 4.0);
    EXPECT_EQ(stored(kPrefModelOfCurrentConnectedCamera), "Settings For: Nikon Z6");
    expectAllCallsOnQueue();
}

TEST_F(ControlsTest, ImportedFilesThatAreRefused) {
    connectCamera();
    CameraControls::SettingsReport report;
    auto import = [&](const QString& path) {
        report = {};
        return imported(path, &report).value_or(CameraControls::ImportOutcome::Imported);
    };
    auto file = [&](const QString& name, const QVariant& contents) {
        const QString path = work.filePath(name);
        EXPECT_TRUE(PropertyList::writeFile(path, contents));
        return path;
    };
    QVariantMap valid{{"cameradevicename", "Nikon D750"}};
    for (const QString& c : pageCapabilities())
        valid.insert(c, QVariantMap{{"currentsetting", capabilityRow(c)->kind == u"enumtype" ? 2
                                                       : c == kSaveMedia                     ? 2
                                                                                             : 1}});
    const QVariantMap kept{{"cameradevicename", "Kept"}};
    UserDefaults::standard().setObject(kPrefDefaultCameraSettings, kept);
    currentSubject()->clearCalls();

    {
        const QString text = work.filePath("words.plist");
        QFile f(text);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("not a property list");
        f.close();
        EXPECT_EQ(import(text), CameraControls::ImportOutcome::Unreadable);
    }
    EXPECT_EQ(import(file("array.plist", QVariantList{valid})),
              CameraControls::ImportOutcome::Unreadable);
    EXPECT_EQ(import(file("empty.plist", QVariantMap{})),
              CameraControls::ImportOutcome::Unreadable);
    QVariantMap blank = valid;
    blank.insert("cameradevicename", "   ");
    EXPECT_EQ(import(file("blank.plist", blank)), CameraControls::ImportOutcome::NoModelName);
    EXPECT_TRUE(currentSubject()->writes().empty()) << "nothing written for those";
    // Invalid settings: the file is refused as defaults and names them.
    for (const auto& [capability, bad] :
         QList<std::pair<QString, QVariant>>{{kAperture, QVariantMap{{"currentsetting", 0}}},
                                             {kAperture, QVariantMap{{"currentsetting", "5"}}},
                                             {kSunny, QVariantList{1, 2}}}) {
        QVariantMap spoiled = valid;
        spoiled.insert(capability, bad);
        EXPECT_EQ(import(file("spoiled.plist", spoiled)),
                  CameraControls::ImportOutcome::InvalidSettings);
        EXPECT_EQ(report.invalid, QStringList{capability});
    }
    EXPECT_EQ(stored(kPrefDefaultCameraSettings).toMap(), kept) << "earlier defaults survive";

    // Values the camera does not take are sent and named; the rest is written, the file kept.
    setCameraValue(kSunny, 0.0);
    setCameraValue(kAperture, 4);
    QVariantMap outside = valid;
    outside.insert(kSunny, QVariantMap{{"currentsetting", 40}});
    outside.insert(kAperture, QVariantMap{{"currentsetting", 99}});
    outside.insert(kSaveMedia, QVariantMap{{"currentsetting", 7}});
    LogCapture log;
    EXPECT_EQ(import(file("outside.plist", outside)), CameraControls::ImportOutcome::Imported);
    EXPECT_EQ(report.refused, (QStringList{kAperture, kSunny, kSaveMedia})) << "in page order";
    EXPECT_TRUE(report.invalid.isEmpty());
    EXPECT_EQ(cameraValue(kSunny), 0.0);
    EXPECT_EQ(cameraValue(kAperture), 4) << "as the camera had it";
    EXPECT_EQ(cameraValue(kSaveMedia), 2) << "as the file before left it";
    EXPECT_EQ(cameraValue(kImageSize), 2) << "the valid ones were written";
    EXPECT_EQ(log.count("not taken"), 3);
    EXPECT_EQ(stored(kPrefDefaultCameraSettings).toMap().value("cameradevicename"), "Nikon D750");
}

// One bad entry stops no other write, at import and at each connection: a file whose aperture
// is 0 is refused after the other fifteen settings reached the camera, and a value the camera
// does not take is still sent (the camera keeps its own).
TEST_F(ControlsTest, OneRefusedSettingDoesNotStopTheOthers) {
    connectCamera();
    CameraControls::SettingsReport report;
    auto import = [&](const QVariantMap& contents) {
        const QString path = work.filePath("set.plist");
        EXPECT_TRUE(PropertyList::writeFile(path, contents));
        report = {};
        return imported(path, &report).value_or(CameraControls::ImportOutcome::Imported);
    };
    QVariantMap set{{"cameradevicename", "Nikon D750"}};
    for (const QString& c : pageCapabilities())
        set.insert(c, QVariantMap{{"currentsetting", capabilityRow(c)->kind == u"enumtype" ? 2
                                                     : c == kSaveMedia                     ? 2
                                                                                           : 1}});
    set.insert(kAperture, QVariantMap{{"currentsetting", 0}});
    const QVariantMap kept{{"cameradevicename", "Kept"}};
    UserDefaults::standard().setObject(kPrefDefaultCameraSettings, kept);
    currentSubject()->clearCalls();

    EXPECT_EQ(import(set), CameraControls::ImportOutcome::InvalidSettings);
    EXPECT_EQ(report.invalid, QStringList{kAperture});
    EXPECT_EQ(currentSubject()->writes().size(), 15u) << "every setting but the aperture";
    EXPECT_EQ(cameraValue(kImageSize), 2);
    EXPECT_EQ(cameraValue(kSunny), 1.0);
    EXPECT_EQ(cameraValue(kSaveMedia), 2);
    EXPECT_EQ(cameraValue(kAperture), 4) << "as the camera had it";
    EXPECT_EQ(stored(kPrefDefaultCameraSettings).toMap(), kept) << "earlier defaults survive";

    // Stored defaults with the same entry, written at a connection.
    QVariantMap defaults = set;
    defaults.insert(kSunny, QVariantMap{{"currentsetting", 3.0}});
    UserDefaults::standard().setObject(kPrefDefaultCameraSettings, defaults);
    controls->ibHandleCameraConnected();
    ASSERT_TRUE(waitUntil([&] { return reports.readPasses == 1; }));
    EXPECT_EQ(cameraValue(kSunny), 3.0);

    // A value past the camera's range is sent; the camera keeps its own, the rest is written.
    QVariantMap outside = set;
    outside.insert(kAperture, QVariantMap{{"currentsetting", 5}});
    outside.insert(kSunny, QVariantMap{{"currentsetting", 40}});
    currentSubject()->clearCalls();
    EXPECT_EQ(import(outside), CameraControls::ImportOutcome::Imported);
    EXPECT_EQ(report.refused, QStringList{kSunny});
    bool sent = false;
    for (const SessionCall& w : currentSubject()->writes())
        sent = sent || (w.code == capabilityRow(kSunny)->code && w.value.toDouble() == 40.0);
    EXPECT_TRUE(sent) << "the camera is the judge of its range";
    EXPECT_EQ(cameraValue(kSunny), 3.0);
    EXPECT_EQ(cameraValue(kAperture), 5);
    expectAllCallsOnQueue();
}

TEST_F(ControlsTest, ACameraWithoutAModelName) {
    connectCamera(QVariantMap{{"vendorID", 1200}});
    ASSERT_EQ(answerOf(&CameraControls::SaveAsDefaults), true);
    EXPECT_TRUE(stored(kPrefNikonSettingsForAllModels).toMap().contains(kUnknownModelForSettings));
    EXPECT_EQ(stored(kPrefDefaultCameraSettings).toMap().value("cameradevicename"),
              "WHY is CAMERA NAME NIL???");
    EXPECT_FALSE(
        stored(kPrefDefaultCameraSettings).toMap().contains(kPrefCameraSettingsFileVersion));
    ASSERT_TRUE(readPass());
    EXPECT_EQ(stored(kPrefModelOfCurrentConnectedCamera), "Settings For: UNKNOWN???NAME");
}

TEST_F(ControlsTest, SavingWithoutACameraOrDefaultsKeepsNothing) {
    makeControls(); // no session at all
    EXPECT_EQ(answerOf(&CameraControls::SaveAsDefaults), false);
    EXPECT_FALSE(stored(kPrefDefaultCameraSettings).isValid());
    QString error;
    EXPECT_FALSE(controls->createPlistFile(&error));
    EXPECT_FALSE(error.isEmpty());
    // Nothing to apply, and then no camera to apply valid defaults to.
    EXPECT_EQ(applied(), CameraControls::ApplyOutcome::NoDefaults);
    QVariantMap valid;
    for (const QString& c : pageCapabilities())
        valid.insert(c, QVariantMap{{"currentsetting", 1}});
    UserDefaults::standard().setObject(kPrefDefaultCameraSettings, valid);
    EXPECT_EQ(applied(), CameraControls::ApplyOutcome::NoCamera)
        << "no camera: not reported as applied";

    // The scratch folder refuses the file: no path, "Did NOT Save".
    UserDefaults::standard().setObject(kPrefDefaultCameraSettings,
                                       QVariantMap{{"cameradevicename", "Nikon D750"}});
    const QDateTime now = QDateTime::currentDateTime();
    for (int s = 0; s < 5; ++s)
        ASSERT_TRUE(
            QDir().mkpath(QDir(temporaryFolderForApplication())
                              .filePath("Nikon D750 DefaultCameraSettings_" +
                                        now.addSecs(s).toString("yyyyMMddHHmmss") + ".plist")));
    LogCapture log;
    EXPECT_FALSE(controls->createPlistFile(&error));
    EXPECT_TRUE(log.contains("Did NOT Save"));
}

// A camera that takes its time over every read, answering on whatever thread it is asked.
class SlowSubject : public RecordingSubject {
public:
    SlowSubject() : RecordingSubject(nullptr) {}
    QVariantMap fUsbDeviceInfo() const override {
        RecordingSubject::fUsbDeviceInfo();
        return deviceInfo("Slow Cam");
    }
    bool isCameraConnected() override {
        RecordingSubject::isCameraConnected();
        return true;
    }
    int16_t GetCameraInfo(uint32_t capability, const QString& withType) override {
        RecordingSubject::GetCameraInfo(capability, withType);
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        if (capability == kNkMAIDCapability_SaveMedia)
            UserDefaults::standard().setObject(
                kPrefLastNikonResponse,
                QVariantMap{{"unsignedstring", "\n  \n"}, {"currentsetting", 0}});
        else if (withType == u"rangetype")
            UserDefaults::standard().setObject(
                kPrefLastNikonResponse,
                QVariantMap{{"key", "Slow"},
                            {"lowervalue", -6.0},
                            {"uppervalue", 6.0},
                            {"currentsetting", double(capability % 7) - 3}});
        else
            UserDefaults::standard().setObject(
                kPrefLastNikonResponse,
                QVariantMap{{"elements", QVariantList{"a", "b", "c"}}, {"currentsetting", 2}});
        return 0;
    }
};

TEST_F(ControlsTest, TheMainThreadNeverWaitsForTheCamera) {
    setSubject(std::make_shared<SlowSubject>());
    makeControls();
    QElapsedTimer clock;
    qint64 longestGap = 0;
    qint64 last = 0;
    QTimer ticker;
    ticker.setInterval(5);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longestGap = std::max(longestGap, clock.elapsed() - last);
        last = clock.elapsed();
    });
    clock.start();
    ticker.start();
    controls->ibHandleCameraConnected();
    controls->ibClickedOnPopupButton("aperturepopup", 1); // not read yet: no such choice
    const qint64 returned = clock.elapsed();
    ASSERT_TRUE(waitUntil([&] { return reports.readPasses == 1; }));
    const qint64 total = clock.elapsed();
    ticker.stop();
    EXPECT_LT(returned, 20) << "the calls only queue work";
    EXPECT_GE(total, 16 * 25) << "sixteen slow reads happened";
    EXPECT_LT(longestGap, 150) << "the main thread kept running its events";

    // Each record went with its own capability.
    for (const SettingBinding& b : sliderBindings())
        EXPECT_EQ(reports.sliders.value(b.identifier).value,
                  double(capabilityRow(b.capability)->code % 7) - 3)
            << b.identifier.toStdString();
    EXPECT_EQ(reports.lists.value("savemediapopup").items, QStringList{kNothingFoundItem});
    EXPECT_EQ(reports.lists.value("aperturepopup").selection, 1);
    EXPECT_EQ(reports.pagesPrepared, QList<bool>{true});
    queue->sync([] {});
    expectAllCallsOnQueue();
    EXPECT_TRUE(currentSubject()->writes().empty()) << "no choice before the list was read";

    // A choice is written and the list is not read again for it.
    currentSubject()->clearCalls();
    controls->ibClickedOnPopupButton("aperturepopup", 1);
    ASSERT_TRUE(waitUntil([&] { return currentSubject()->writes().size() == 1; }));
    queue->sync([] {});
    for (const SessionCall& c : currentSubject()->calls())
        EXPECT_NE(c.operation, "GetCameraInfo");

    // Destroyed in the middle of a pass: queued work stops and nothing more is reported.
    controls->ibReadCurrentCameraSettings();
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    const int calls = reports.calls;
    const size_t sessionCalls = currentSubject()->calls().size();
    controls.reset();
    queue->sync([] {});
    EXPECT_LT(currentSubject()->calls().size(), sessionCalls + 16 * 2) << "the pass stopped";
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(reports.calls, calls) << "no report after destruction";
}

} // namespace
