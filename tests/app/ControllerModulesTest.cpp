// The controller's module list (import and revert) and its switch between the 64- and 32-bit
// programs: the offers, the headless answers and what a relaunch carries.

#include "ControllerSupport.h"

using namespace zarv;
using namespace zarv::test;

namespace {

// --- The module list: import and revert ---------------------------------------------------

QVariantMap entry(const QString& camera, const QString& module, qlonglong productID) {
    return {{QStringLiteral("devicename"), camera},
            {QStringLiteral("modulename"), module},
            {QStringLiteral("productid"), productID}};
}

// The program's own bundle, whose factory list the revert goes back to.
class ModuleListImport : public ControllerWithView {
protected:
    void SetUp() override {
        previousBundle = Bundle::mainBundle().bundlePath();
        Bundle::setMainBundlePath(QStringLiteral(ZARV_APP_DIR));
        ControllerWithView::SetUp();
        defaults().setObject(kTable, QVariantMap{{"Old Cam", entry("Old Cam", "Old.bundle", 1)}});
    }
    void TearDown() override {
        ControllerWithView::TearDown();
        defaults().removeObject(kTable);
        defaults().removeObject(kArray);
        Bundle::setMainBundlePath(previousBundle);
    }
    QString write(const QString& name, const QVariant& contents,
                  PropertyList::Format format = PropertyList::Format::Xml) {
        const QString path = config.filePath(name);
        EXPECT_TRUE(PropertyList::writeFile(path, contents, format));
        return path;
    }
    // Chooses `path` in the panel the import toolbar button opens, and waits for the outcome:
    // `done` holding, or the sheet or log line a refusal gives.
    void import(const QString& path) {
        view.answerOpenPanelsWith(QStringList{path});
        const qsizetype panels = view.eventsOf(QStringLiteral("openpanel:")).size();
        delegate->ibHandleSegmentedControl1(4);
        ASSERT_TRUE(waitUntil(
            [&] { return view.eventsOf(QStringLiteral("openpanel:")).size() == panels + 1; },
            5000));
    }
    QVariantMap table() const { return defaults().objectForKey(kTable).toMap(); }
    QStringList listedCameras() const {
        QStringList names;
        for (const QVariant& e : defaults().objectForKey(kArray).toList())
            names << e.toMap().value(QStringLiteral("devicename")).toString();
        names.sort();
        return names;
    }

    const QString kTable = QStringLiteral("prefNikonLookupTable");
    const QString kArray = QStringLiteral("prefNikonLookupArray");
    const QVariantMap kOld{{"Old Cam", entry("Old Cam", "Old.bundle", 1)}};
    QString previousBundle;
};

// The chosen file's user table replaces the user's whole table and the list shows it; with the
// factory list beside it in the file, the user table still wins.
TEST_F(ModuleListImport, UserTableReplacesTheTableAndTheList) {
    const QVariantMap user{{"Nikon D4", entry("Nikon D4", "Type0009 Module.bundle", 0x0423)},
                           {"Nikon Z 9", entry("Nikon Z 9", "Type0031 Module.bundle", 0x0450)}};
    import(write("user.plist", QVariantMap{{ kTable, user }}));
    ASSERT_TRUE(waitUntil([&] { return table() == user; }, 5000));
    EXPECT_TRUE(view.saw("openpanel:Please Select Camera Module List Files to Impoprt...|Import|"
                         "plist"));
    EXPECT_EQ(listedCameras(), QStringList({"Nikon D4", "Nikon Z 9"}));
    EXPECT_TRUE(logged("oldtable = "));
    EXPECT_TRUE(logged("Old Cam"));

    const QVariantMap other{{"Nikon Zf", entry("Nikon Zf", "Type0033 Module.bundle", 0x0455)}};
    const QVariantMap factory{
        {"LookupTable", QVariantMap{{"Nikon D3", entry("Nikon D3", "Type0001 Module.bundle", 1)}}}};
    import(write("both.plist", QVariantMap{{kTable, other},
                                           { QStringLiteral("FactoryDefaultNikonList"),
                                             factory }}));
    ASSERT_TRUE(waitUntil([&] { return table() == other; }, 5000));
    EXPECT_EQ(listedCameras(), QStringList({"Nikon Zf"}));
    EXPECT_TRUE(view.eventsOf(QStringLiteral("sheet:")).isEmpty());

    // The settings file holds it: it was written through, not only kept in memory.
    UserDefaults::standard().synchronize();
    const QVariant stored = PropertyList::readFile(UserDefaults::standard().path());
    EXPECT_EQ(stored.toMap().value(kTable), QVariant(other));

    // A binary property list is read like an XML one.
    import(write("binary.plist", QVariantMap{{ kTable, user }}, PropertyList::Format::Binary));
    ASSERT_TRUE(waitUntil([&] { return table() == user; }, 5000));
    EXPECT_EQ(listedCameras(), QStringList({"Nikon D4", "Nikon Z 9"}));
    EXPECT_TRUE(view.eventsOf(QStringLiteral("sheet:")).isEmpty());
}

// A factory-only file and a file with neither table get their sheets; nothing is imported.
TEST_F(ModuleListImport, FactoryOnlyAndInvalidFilesShowTheirSheets) {
    const QVariantMap factory{
        {"LookupTable", QVariantMap{{"Nikon D3", entry("Nikon D3", "Type0001 Module.bundle", 1)}}}};
    import(write("factory.plist", QVariantMap{
                                      { QStringLiteral("FactoryDefaultNikonList"),
                                        factory }}));
    ASSERT_TRUE(
        waitUntil([&] { return view.saw("sheet:File Contains Defaults Only !|OK"); }, 5000));
    EXPECT_TRUE(logged("Inside AppDelegate => ibImportModuleList:...Only contains factory info - "
                       "so we need to implement in future...."));

    import(write("other.plist", QVariantMap{{ QStringLiteral("LookupTable"), kOld }}));
    ASSERT_TRUE(waitUntil([&] { return view.saw("sheet:Invalid File for Import !|OK"); }, 5000));
    EXPECT_TRUE(logged("Inside AppDelegate => ibImportModuleList:...Invalid or mising info????"));

    // A user table that is no dictionary would have replaced the user's table with nothing.
    const int sheets = int(view.eventsOf(QStringLiteral("sheet:")).size());
    import(write("text.plist", QVariantMap{{ kTable, QStringLiteral("Nikon D4") }}));
    ASSERT_TRUE(waitUntil(
        [&] { return view.eventsOf(QStringLiteral("sheet:")).size() == sheets + 1; }, 5000));
    EXPECT_EQ(view.eventsOf(QStringLiteral("sheet:")).last(), "sheet:Invalid File for Import !|OK");
    EXPECT_EQ(table(), kOld);
}

// A cancelled panel, and files that are no property-list dictionary, are refused with a log
// line; a file over 16 MiB with a sheet, unread. The user's table stays as it was.
TEST_F(ModuleListImport, RefusedFilesChangeNothing) {
    view.answerOpenPanelsWith(std::nullopt);
    delegate->ibImportModuleList();
    ASSERT_TRUE(
        waitUntil([&] { return !view.eventsOf(QStringLiteral("openpanel:")).isEmpty(); }, 5000));

    const QString text = config.filePath("text.plist");
    {
        QFile f(text);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("Nikon D4 = Type0009 Module.bundle\n");
    }
    import(text);
    ASSERT_TRUE(waitUntil([&] { return logged("cannot import " + text); }, 5000));

    import(write("empty.plist", QVariantMap{}));
    ASSERT_TRUE(waitUntil([&] { return logged("nothing to import"); }, 5000));
    EXPECT_TRUE(view.eventsOf(QStringLiteral("sheet:")).isEmpty());

    const QString huge = config.filePath("huge.plist");
    {
        QFile f(huge);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_TRUE(f.resize((qint64(16) << 20) + 1));
    }
    import(huge);
    ASSERT_TRUE(waitUntil([&] { return view.saw("sheet:File Too Large to Import !|OK"); }, 5000));
    EXPECT_TRUE(logged("larger than 16 MiB"));

    drainCameraQueue();
    EXPECT_EQ(table(), kOld);
    EXPECT_FALSE(logged("oldtable = "));
}

// From the file to the session: an entry whose module name leaves the module folder is
// skipped at import, so the session never gets a path for that camera; and a table that holds
// one anyway (written by hand) is refused by the session itself.
TEST_F(ModuleListImport, ModuleNamesWithPathsNeverReachTheLoader) {
    QTemporaryDir elsewhere;
    ASSERT_TRUE(QDir().mkpath(elsewhere.filePath("Evil.bundle/Contents/MacOS")));
    const QVariantMap hostile{
        {"Good Cam", entry("Good Cam", "Type0009 Module.bundle", 1)},
        {"Absolute Cam", entry("Absolute Cam", elsewhere.filePath("Evil.bundle"), 2)},
        {"Up Cam", entry("Up Cam", "../../../../../../.." + elsewhere.filePath("Evil.bundle"), 3)},
        {"Dots Cam", entry("Dots Cam", "..", 4)},
        {"Plain Text", QStringLiteral("Evil.bundle")}};
    import(write("hostile.plist", QVariantMap{{ kTable, hostile }}));
    ASSERT_TRUE(waitUntil([&] { return table().contains("Good Cam"); }, 5000));
    EXPECT_EQ(table().keys(), QStringList({"Good Cam"}));
    EXPECT_EQ(listedCameras(), QStringList({"Good Cam"}));
    for (const char* camera : {"\"Absolute Cam\" skipped", "\"Up Cam\" skipped",
                               "\"Dots Cam\" skipped", "\"Plain Text\" skipped"})
        EXPECT_TRUE(logged(QString::fromUtf8(camera))) << camera;

    auto pathFor = [](const QString& camera) {
        ZarvNikonBaseCameraHandler session;
        session.setFUsbDeviceInfo({{QStringLiteral("deviceName"), camera}});
        return session.GetPathToModule();
    };
    for (const QString camera : {"Absolute Cam", "Up Cam", "Dots Cam"})
        EXPECT_EQ(pathFor(camera), std::nullopt) << camera.toStdString();

    defaults().setObject(kTable, hostile);
    for (const QString camera : {"Absolute Cam", "Up Cam", "Dots Cam"})
        EXPECT_EQ(pathFor(camera), std::nullopt) << camera.toStdString();
    EXPECT_TRUE(
        logged("module name is not a plain file name: " + elsewhere.filePath("Evil.bundle")));
}

// The revert sheet: "NO" keeps the user's table, "YES" drops it and the list shows the factory
// table again.
TEST_F(ModuleListImport, RevertAsksFirst) {
    delegate->ibUpdateModuleList();
    ASSERT_EQ(listedCameras(), QStringList({"Old Cam"}));

    delegate->ibRevertModuleList(); // the cancelling answer: "NO"
    ASSERT_TRUE(waitUntil([&] { return logged("returncode = 1000"); }, 5000));
    EXPECT_TRUE(view.saw("sheet:Revert Back to Factory Module List??|NO/YES"));
    EXPECT_EQ(table(), kOld);
    EXPECT_EQ(listedCameras(), QStringList({"Old Cam"}));

    view.answerSheetsWith(kAlertSecondButtonReturn);
    delegate->ibRevertModuleList();
    ASSERT_TRUE(waitUntil([&] { return logged("returncode = 1001"); }, 5000));
    EXPECT_FALSE(defaults().objectForKey(kTable).isValid());
    const std::optional<QVariantMap> factory = getNikonLookupTable();
    ASSERT_TRUE(factory && !factory->isEmpty()) << "the bundle ships a factory table";
    QStringList factoryCameras = factory->keys();
    factoryCameras.sort();
    EXPECT_EQ(listedCameras(), factoryCameras);
}

// A camera whose module exists only for i386: the 64-bit program offers the switch only where
// it can happen (the system runs i386 programs and the 32-bit program is there); without a
// window the offer is declined unless prefHeadlessAcceptsRelaunch says otherwise.
TEST_F(ControllerWithView, ThirtyTwoBitOfferOnlyWhereItCanHappen) {
    QTemporaryDir work;
    const QString module = i386OnlyModule(work.path());
    const QString bundle = programBundle(work.path(), false);
    const QString previousBundle = Bundle::mainBundle().bundlePath();
    Bundle::setMainBundlePath(bundle);
    const auto restore = qScopeGuard([&] {
        setAppKitVersionNumberOverride(std::nullopt);
        Bundle::setMainBundlePath(previousBundle);
        defaults().removeObject(QStringLiteral("prefHeadlessAcceptsRelaunch"));
    });
    script.result = -4;
    script.modulePath = module;
    const QString offer = QStringLiteral("sheet:Need To Relaunch App !|Cancel/Quit and Relaunch");
    int serial = 0;
    auto plugIn = [&](const QString& status) {
        const QVariantMap camera =
            device(QStringLiteral("Nikon D1"), 1200, QStringLiteral("S%1").arg(++serial));
        arrive(camera);
        EXPECT_TRUE(waitUntil(
            [&] { return view.saw("text:prefNameOfCameraFound=" + status + " Nikon D1 >"); },
            20000));
        drainCameraQueue();
        leave(camera);
        drainCameraQueue();
    };
    const QString cannot = QStringLiteral("< 32Bit Module Cannot Run Here for:");

    // A system that cannot run i386 programs.
    setAppKitVersionNumberOverride(1404.0);
    plugIn(cannot);
    EXPECT_FALSE(view.saw(offer));
    EXPECT_TRUE(logged(QStringLiteral("this system does not run i386 programs")));

    // One that can, but without the 32-bit program.
    setAppKitVersionNumberOverride(1349.0);
    plugIn(cannot);
    EXPECT_FALSE(view.saw(offer));
    EXPECT_TRUE(logged(QStringLiteral("the 32-bit program was not built")));

    // With it, the window offers the switch.
    QFile(bundle + QStringLiteral("/Contents/MacOS/Zarv_32")).open(QIODevice::WriteOnly);
    plugIn(QStringLiteral("< Need To RELaunch in 32Bit mode for:"));
    EXPECT_TRUE(waitUntil([&] { return view.saw(offer); }, 20000));
}

// Without a window, prefHeadlessAcceptsRelaunch takes the offer: the next start is the 32-bit
// build, and the program relaunches.
TEST_F(Controller, HeadlessTakesTheArchitectureSwitchWhenTheSettingSaysSo) {
    QTemporaryDir work;
    const QString module = i386OnlyModule(work.path());
    const QString bundle = programBundle(work.path(), true);
    const QString previousBundle = Bundle::mainBundle().bundlePath();
    Bundle::setMainBundlePath(bundle);
    setAppKitVersionNumberOverride(1349.0);
    const auto restore = qScopeGuard([&] {
        setAppKitVersionNumberOverride(std::nullopt);
        Bundle::setMainBundlePath(previousBundle);
        defaults().removeObject(QStringLiteral("prefHeadlessAcceptsRelaunch"));
        defaults().removeObject(QStringLiteral("prefLaunchIn32BitMode"));
        clearPendingQuit();
    });
    script.result = -4;
    script.modulePath = module;

    arrive(device(QStringLiteral("Nikon D1"), 1200, QStringLiteral("S1")));
    ASSERT_TRUE(waitUntil(
        [&] {
            return logged(QStringLiteral("returncode")) ||
                   logged(QStringLiteral("Need To Relaunch App !"));
        },
        20000));
    drainCameraQueue();
    EXPECT_FALSE(delegate->isTerminating()) << "declined by default";
    EXPECT_FALSE(defaults().boolForKey(QStringLiteral("prefLaunchIn32BitMode")));

    defaults().setObject(QStringLiteral("prefHeadlessAcceptsRelaunch"), true);
    leave(device(QStringLiteral("Nikon D1"), 1200, QStringLiteral("S1")));
    drainCameraQueue();
    arrive(device(QStringLiteral("Nikon D1"), 1200, QStringLiteral("S2")));
    ASSERT_TRUE(waitUntil([&] { return delegate->isTerminating(); }, 20000));
    EXPECT_TRUE(
        logged(QStringLiteral("Relaunching without asking (prefHeadlessAcceptsRelaunch is YES)")));
    EXPECT_TRUE(defaults().boolForKey(QStringLiteral("prefLaunchIn32BitMode")));
}

// A relaunch hands the relauncher the bundle, this process and the launch flags, and nothing
// else: this run's -KEY VALUE overrides stay behind (with -prefLaunchIn32BitMode NO among them
// the relaunch would come back to the build it was leaving), and a run without a window asks
// for its successor to be one too through the relauncher's environment.
TEST_F(Controller, ARelaunchPassesOnNoOverrides) {
    QTemporaryDir work;
    const QString bundle = programBundle(work.path(), false);
    const QString record = work.filePath(QStringLiteral("relaunch.args"));
    ASSERT_TRUE(QDir().mkpath(bundle + QStringLiteral("/Contents/Resources")));
    QFile relauncher(bundle + QStringLiteral("/Contents/Resources/relaunch"));
    ASSERT_TRUE(relauncher.open(QIODevice::WriteOnly));
    relauncher.write(QStringLiteral("#!/bin/sh\necho \"$# $* headless=$ZARV_RELAUNCH_HEADLESS\" > "
                                    "'%1.part' && mv '%1.part' '%1'\n")
                         .arg(record)
                         .toUtf8());
    relauncher.close();
    relauncher.setPermissions(relauncher.permissions() | QFileDevice::ExeOwner);
    const QString previousBundle = Bundle::mainBundle().bundlePath();
    Bundle::setMainBundlePath(bundle);
    const auto restore = qScopeGuard([&] {
        Bundle::setMainBundlePath(previousBundle);
        clearPendingQuit();
    });

    delegate->applicationWillTerminate();
    delegate.reset();
    AppDelegate::Options options;
    options.headless = true;
    options.arguments = {bundle + QStringLiteral("/Contents/MacOS/Zarv"),
                         QStringLiteral("--headless"),
                         QStringLiteral("-prefLaunchIn32BitMode"),
                         QStringLiteral("NO"),
                         QStringLiteral("-prefSaveFolderPath"),
                         config.path(),
                         work.filePath(QStringLiteral("Some Module.bundle"))};
    options.sessionFactory = [this] { return std::make_shared<ScriptedSession>(script); };
    delegate = std::make_unique<AppDelegate>(options);
    delegate->relaunchApp({});
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(record); }, 10000));
    QFile recorded(record);
    ASSERT_TRUE(recorded.open(QIODevice::ReadOnly));
    EXPECT_EQ(
        QString::fromUtf8(recorded.readAll()).trimmed(),
        QStringLiteral("3 %1 %2 1 headless=1").arg(bundle).arg(QCoreApplication::applicationPid()));
    EXPECT_TRUE(delegate->isTerminating());
}

} // namespace
