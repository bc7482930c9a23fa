// The default-settings popover: its two views, what each button asks of the camera controls,
// the alerts their answers give, and the save and open panels. The controls run without a
// camera and without stored defaults.

#include "UiTestSupport.h"
#include "ui/MyPopoverForCameraSettingViewController.h"

#include "TestSupport.h"
#include "app/ShareStub.h"
#include "platform/Dispatch.h"
#include "platform/UserDefaults.h"

#include <QClipboard>
#include <QDialog>
#include <QFile>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

namespace zarv {
namespace {

using test::LogCapture;
using test::shownOn;
using test::waitUntil;

const QString kXdgEmail = QStringLiteral("xdg-email");

// The texts of the alert sheet shown on the window, if one is.
struct Shown {
    QString message, informative;
    QStringList buttons;
    bool windowModal = false;
};
std::optional<Shown> alertOn(QWidget& window) {
    for (QDialog* dialog : shownOn<QDialog>(window)) {
        if (dialog->objectName() != QLatin1String("alertSheet"))
            continue;
        Shown shown;
        shown.message = dialog->findChild<QLabel*>(QStringLiteral("alertMessage"))->text();
        shown.informative =
            dialog->findChild<QLabel*>(QStringLiteral("alertInformativeText"))->text();
        for (QPushButton* button : dialog->findChildren<QPushButton*>())
            shown.buttons << button->text();
        shown.windowModal = dialog->windowModality() == Qt::WindowModal;
        return shown;
    }
    return std::nullopt;
}

class CameraSettingsPopover : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        UserDefaults::standard().removeObject(kPrefDefaultCameraSettings);
        window.resize(500, 400);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        popover = std::make_unique<MyPopoverForCameraSettingViewController>(controls, &window);
        popover->show();
        stub.addRecorder(kXdgEmail);
        stub.addRecorder(QStringLiteral("xdg-open"));
    }
    void TearDown() override {
        for (QDialog* dialog : window.findChildren<QDialog*>())
            delete dialog;
    }
    QPushButton* button(const char* name) {
        auto* found = popover->findChild<QPushButton*>(QLatin1String(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    void closeAlerts() {
        for (QDialog* dialog : shownOn<QDialog>(window))
            dialog->reject();
    }

    QTemporaryDir tmp;
    test::ScopedEnvironment tmpdir{"TMPDIR", tmp.path()};
    test::StubPath stub;
    std::shared_ptr<DispatchQueue> queue =
        DispatchQueue::createSerial(QStringLiteral("test.camera"));
    CameraControls controls{test::controlsWithoutCamera(*queue)};
    QWidget window;
    std::unique_ptr<MyPopoverForCameraSettingViewController> popover;
};

TEST_F(CameraSettingsPopover, ShowsTheSaveOrTheLoadButtons) {
    auto* save = popover->findChild<QWidget*>(QStringLiteral("saveview"));
    auto* load = popover->findChild<QWidget*>(QStringLiteral("loadview"));
    ASSERT_TRUE(save && load);
    for (const char* name : {"savedefault", "savetofile", "emailfile"})
        EXPECT_EQ(button(name)->parentWidget(), save) << name;
    for (const char* name : {"loaddefault", "loadfile"})
        EXPECT_EQ(button(name)->parentWidget(), load) << name;
    EXPECT_FALSE(save->isHidden());
    EXPECT_TRUE(load->isHidden());
    popover->ibAdjustForView(QStringLiteral("LoadView"));
    EXPECT_TRUE(save->isHidden());
    EXPECT_FALSE(load->isHidden());
    popover->ibAdjustForView(QStringLiteral("anything else"));
    EXPECT_FALSE(save->isHidden());
    EXPECT_TRUE(load->isHidden());
}

// Each answer of the controls has its alert: warning style, one "OK", a sheet on the window.
TEST_F(CameraSettingsPopover, AnswersShowTheirAlerts) {
    using Outcome = CameraControls::ImportOutcome;
    using Popover = MyPopoverForCameraSettingViewController;
    const struct {
        std::function<void()> answer;
        const char* message;
        const char* informative;
    } cases[] = {
        {[&] { Popover::showSaved(&window, true); }, "Defaults Saved !",
         "Current Camera Settings has been saved as defaults."},
        {[&] { Popover::showSaved(&window, false); }, "Defaults NOT Saved !", "could not be read"},
        {[&] { Popover::showApplied(&window, CameraControls::ApplyOutcome::Applied); },
         "Defaults Applied !", "Last Saved Default Camera Settings was Applied."},
        {[&] { Popover::showApplied(&window, CameraControls::ApplyOutcome::NoDefaults); },
         "Defaults NOT Applied !", "no default settings"},
        {[&] { Popover::showApplied(&window, CameraControls::ApplyOutcome::NoCamera); },
         "Defaults NOT Applied !", "No camera is connected"},
        {[&] {
             Popover::showApplied(
                 &window, CameraControls::ApplyOutcome::Applied,
                 {{}, {"kNkMAIDCapability_WBTuneFlash", "kNkMAIDCapability_SaveMedia"}});
         },
         "Defaults Applied !",
         "Last Saved Default Camera Settings was Applied.\n\nNot taken by the camera: "
         "WBTuneFlash, SaveMedia."},
        {[&] { Popover::showImported(&window, Outcome::Imported); },
         "Camera Settings File Imported !", "Imported Camera Settings From File As Defaults..."},
        {[&] { Popover::showImported(&window, Outcome::NoModelName); },
         "Problem with Settings File !",
         "Selected File Is Invalid to be used for Camera Settings Defaults..."},
        {[&] { Popover::showImported(&window, Outcome::InvalidSettings); },
         "Problem with Loading Camera Settings File !",
         "Selected File Contained Invalid/Corrupted Settings to be used as Defaults..."},
        {[&] {
             Popover::showImported(
                 &window, Outcome::InvalidSettings,
                 {{"kNkMAIDCapability_Aperture"}, {"kNkMAIDCapability_ExposureMode"}});
         },
         "Problem with Loading Camera Settings File !",
         "Defaults...\n\nNot written, their values are invalid: Aperture.\n\nNot taken by "
         "the camera: ExposureMode."},
        {[&] { Popover::showImported(&window, Outcome::Unreadable); },
         "Problem with Settings File !", "Could Not Be Read"},
        {[&] { Popover::showNoFile(&window, QString()); }, "Camera Settings File NOT Saved !",
         "no default camera settings"},
        {[&] { Popover::showNoFile(&window, QStringLiteral("/x: Permission denied")); },
         "Camera Settings File NOT Saved !", "/x: Permission denied"},
    };
    for (const auto& c : cases) {
        c.answer();
        const std::optional<Shown> shown = alertOn(window);
        ASSERT_TRUE(shown) << c.message;
        EXPECT_EQ(shown->message, QLatin1String(c.message));
        EXPECT_TRUE(shown->informative.contains(QLatin1String(c.informative)))
            << shown->informative.toStdString();
        EXPECT_EQ(shown->buttons, QStringList{QStringLiteral("OK")});
        EXPECT_TRUE(shown->windowModal);
        closeAlerts();
    }
}

// With no camera and no stored defaults, every button ends in an alert saying what is missing;
// nothing is mailed and no save panel opens.
TEST_F(CameraSettingsPopover, ButtonsWithoutCameraOrDefaultsSayWhy) {
    const struct {
        const char* button;
        const char* message;
    } cases[] = {{"savedefault", "Defaults NOT Saved !"},
                 {"savetofile", "Camera Settings File NOT Saved !"},
                 {"emailfile", "Camera Settings File NOT Saved !"},
                 {"loaddefault", "Defaults NOT Applied !"}};
    for (const auto& c : cases) {
        popover->ibClickedOnButton(button(c.button), Qt::NoModifier);
        ASSERT_TRUE(waitUntil([&] { return alertOn(window).has_value(); }, 3000)) << c.button;
        EXPECT_EQ(alertOn(window)->message, QLatin1String(c.message)) << c.button;
        EXPECT_TRUE(shownOn<QFileDialog>(window).isEmpty()) << c.button;
        closeAlerts();
    }
    QTest::qWait(200);
    EXPECT_FALSE(stub.arguments(kXdgEmail));
    // An identifier the popover does not know does nothing.
    QObject other;
    other.setObjectName(QStringLiteral("imessage"));
    popover->ibClickedOnButton(&other, Qt::NoModifier);
    QTest::qWait(100);
    EXPECT_FALSE(alertOn(window));
}

// Stored defaults and no camera: applying them says that no camera is connected, not that there
// are no defaults.
TEST_F(CameraSettingsPopover, ApplyingWithoutACameraSaysSo) {
    UserDefaults::standard().setObject(
        kPrefDefaultCameraSettings,
        QVariantMap{{QStringLiteral("cameradevicename"), QStringLiteral("D850")},
                    {QStringLiteral("kNkMAIDCapability_ImageSize"),
                     QVariantMap{{QStringLiteral("currentsetting"), 1}}}});
    popover->ibClickedOnButton(button("loaddefault"), Qt::NoModifier);
    ASSERT_TRUE(waitUntil([&] { return alertOn(window).has_value(); }, 3000));
    const Shown shown = *alertOn(window);
    EXPECT_EQ(shown.message, QStringLiteral("Defaults NOT Applied !"));
    EXPECT_TRUE(shown.informative.contains(QStringLiteral("No camera is connected")))
        << shown.informative.toStdString();
    EXPECT_FALSE(shown.informative.contains(QStringLiteral("no valid default settings")));
    closeAlerts();
    UserDefaults::standard().removeObject(kPrefDefaultCameraSettings);
}

// Stored defaults are mailed as a file, or with Ctrl held shared by message, as the match list.
TEST_F(CameraSettingsPopover, DefaultsAreMailedOrWithCtrlSharedByMessage) {
    if (popupBindings().empty())
        GTEST_SKIP() << "the settings logic is not linked in: no defaults file can be written";
    UserDefaults::standard().setObject(
        kPrefDefaultCameraSettings,
        QVariantMap{{QStringLiteral("cameradevicename"), QStringLiteral("D850")},
                    {QStringLiteral("kNkMAIDCapability_ImageSize"),
                     QVariantMap{{QStringLiteral("currentsetting"), 1}}}});
    QGuiApplication::clipboard()->clear();
    QTest::mouseClick(button("emailfile"), Qt::LeftButton, Qt::ControlModifier);
    const QString text = QGuiApplication::clipboard()->text();
    EXPECT_TRUE(text.startsWith(QStringLiteral("Here's my default camera settings info...\n\n")))
        << text.toStdString();
    EXPECT_TRUE(text.endsWith(QStringLiteral(".plist"))) << text.toStdString();
    QTest::qWait(200);
    EXPECT_FALSE(stub.arguments(kXdgEmail));

    LogCapture log;
    QTest::mouseClick(button("emailfile"), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return stub.arguments(kXdgEmail).has_value(); }));
    const QStringList args = *stub.arguments(kXdgEmail);
    ASSERT_GE(args.size(), 6) << args.join(u'|').toStdString();
    EXPECT_TRUE(
        args.at(3).startsWith(QStringLiteral("Here's my default camera settings info...\n\nOS ")));
    EXPECT_EQ(args.at(4), QStringLiteral("--attach"));
    EXPECT_TRUE(args.at(5).contains(QStringLiteral("DefaultCameraSettings_")));
    // The mail program's process goes once it has ended.
    EXPECT_TRUE(waitUntil([&] { return log.contains(QStringLiteral("handed the message")); }));
    UserDefaults::standard().removeObject(kPrefDefaultCameraSettings);
}

// The open panel asks for a property list; a file that is not one is refused with an alert.
TEST_F(CameraSettingsPopover, ImportAsksForAPropertyListAndRefusesAnythingElse) {
    popover->ibAdjustForView(QStringLiteral("loadview"));
    QTest::mouseClick(button("loadfile"), Qt::LeftButton);
    const QList<QFileDialog*> panels = shownOn<QFileDialog>(window);
    ASSERT_EQ(panels.size(), 1);
    QFileDialog* panel = panels.constFirst();
    EXPECT_EQ(panel->windowModality(), Qt::WindowModal);
    EXPECT_EQ(panel->acceptMode(), QFileDialog::AcceptOpen);
    EXPECT_EQ(panel->fileMode(), QFileDialog::ExistingFile);
    EXPECT_TRUE(panel->nameFilters().join(u' ').contains(QStringLiteral("*.plist")));
    EXPECT_EQ(panel->labelText(QFileDialog::Accept), QStringLiteral("Import"));
    EXPECT_EQ(panel->windowTitle(),
              QStringLiteral("Please Select Camera Settings File to Import..."));

    const QString garbage = tmp.filePath(QStringLiteral("garbage.plist"));
    {
        QFile file(garbage);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("this is not a property list\n");
    }
    LogCapture log;
    panel->selectFile(garbage);
    static_cast<QDialog*>(panel)->done(QDialog::Accepted);
    ASSERT_TRUE(waitUntil([&] { return alertOn(window).has_value(); }, 3000));
    EXPECT_EQ(alertOn(window)->message, QStringLiteral("Problem with Settings File !"));
    EXPECT_TRUE(log.contains(QStringLiteral("importing ") + garbage));
    closeAlerts();

    // Cancelled: nothing imported, nothing said.
    QTest::mouseClick(button("loadfile"), Qt::LeftButton);
    ASSERT_EQ(shownOn<QFileDialog>(window).size(), 1);
    shownOn<QFileDialog>(window).constFirst()->reject();
    QTest::qWait(100);
    EXPECT_FALSE(alertOn(window));
}

// The save panel is preset to the file's name, replaces a file at the chosen place and says
// where the defaults went; cancelled, it copies nothing.
TEST_F(CameraSettingsPopover, SavePanelReplacesTheChosenFileAndSaysWhere) {
    const QString source =
        tmp.filePath(QStringLiteral("D850 DefaultCameraSettings_20260101120000.plist"));
    {
        QFile file(source);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("<plist>the defaults</plist>");
    }
    const QString chosen = tmp.filePath(QStringLiteral("mine.plist"));
    {
        QFile old(chosen);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("an older file");
    }
    QFileDialog* panel =
        MyPopoverForCameraSettingViewController::saveDefaultsToFile(&window, source);
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(panel->windowModality(), Qt::WindowModal);
    EXPECT_EQ(panel->acceptMode(), QFileDialog::AcceptSave);
    ASSERT_FALSE(panel->selectedFiles().isEmpty());
    EXPECT_TRUE(panel->selectedFiles().constFirst().endsWith(
        QStringLiteral("/D850 DefaultCameraSettings_20260101120000.plist")));
    panel->selectFile(chosen);
    static_cast<QDialog*>(panel)->done(QDialog::Accepted);
    QFile saved(chosen);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll(), QByteArray("<plist>the defaults</plist>"));
    const std::optional<Shown> shown = alertOn(window);
    ASSERT_TRUE(shown);
    EXPECT_EQ(shown->message, QStringLiteral("Defaults Saved !"));
    EXPECT_EQ(shown->informative,
              QStringLiteral("Default Camera Settings Saved to\n%1\n\n.").arg(chosen));
    closeAlerts();

    // A copy that cannot be made says nothing of success.
    panel = MyPopoverForCameraSettingViewController::saveDefaultsToFile(&window, source);
    LogCapture log;
    panel->selectFile(tmp.filePath(QStringLiteral("no/such/folder/x.plist")));
    static_cast<QDialog*>(panel)->done(QDialog::Accepted);
    EXPECT_TRUE(log.contains(QStringLiteral("error in copyItemAtPath")));
    EXPECT_FALSE(alertOn(window));

    QFile::remove(chosen);
    panel = MyPopoverForCameraSettingViewController::saveDefaultsToFile(&window, source);
    panel->selectFile(chosen);
    panel->reject();
    EXPECT_FALSE(QFile::exists(chosen));
    EXPECT_FALSE(alertOn(window));
}

} // namespace
} // namespace zarv
