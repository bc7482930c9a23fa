// The whole program in its window (offscreen) with the virtual camera connected: the operator
// changes settings on both pages, keeps them as defaults, saves and mails them, and a camera
// connected later receives them; a file from another camera model is imported and applied.

#include "WholeProgram.h"

#include "controls/CameraSettings.h"
#include "platform/PropertyList.h"
#include "ui/CameraControlsViewController.h"
#include "ui/MyPopoverForCameraSettingViewController.h"
#include "ui/Popover.h"

#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QSlider>
#include <QTest>
#include <QToolButton>

namespace zarv {
namespace {

using namespace test;

class WindowCameraSettings : public WholeProgram {
protected:
    WindowCameraSettings() { cameraConfigText = QStringLiteral("pictures = 0\n"); }

    CameraControlsViewController* controls() const {
        return window->findChild<CameraControlsViewController*>();
    }
    QComboBox* popup(const char* name) const { return controls()->popup(QLatin1String(name)); }
    QSlider* slider(const char* container) const {
        QWidget* c = controls()->sliderContainer(QLatin1String(container));
        return c ? c->findChild<QSlider*>(QStringLiteral("slider")) : nullptr;
    }
    // The settings as the camera has them now: the toolbar's refresh reads them back.
    void refresh() {
        const qsizetype before = log.count(QStringLiteral("GetCameraInfo:withType:"));
        QTest::mouseClick(window->findChild<QToolButton*>(QStringLiteral("settingsRefresh")),
                          Qt::LeftButton);
        ASSERT_TRUE(waitUntil(
            [&] { return log.count(QStringLiteral("GetCameraInfo:withType:")) >= before + 16; },
            kLong));
        drain();
    }
    // Everything queued for the camera so far has run and its answers reached the window.
    void drain() {
        for (DispatchQueue* queue :
             {&AppDelegate::currentCameraDispatchQueue(), &DispatchQueue::main(),
              &AppDelegate::currentCameraDispatchQueue(), &DispatchQueue::main()}) {
            std::atomic<bool> done{false};
            queue->async([&] { done = true; });
            ASSERT_TRUE(waitUntil([&] { return done.load(); }, kLong));
        }
    }
    MyPopoverForCameraSettingViewController* openPopover(const char* button) {
        QTest::mouseClick(window->findChild<QToolButton*>(QLatin1String(button)), Qt::LeftButton);
        MyPopoverForCameraSettingViewController* found = nullptr;
        waitUntil(
            [&] {
                for (QWidget* w : QApplication::topLevelWidgets())
                    if (qobject_cast<Popover*>(w) && w->isVisible())
                        if (auto* v = w->findChild<MyPopoverForCameraSettingViewController*>())
                            found = v;
                return found != nullptr;
            },
            kLong);
        return found;
    }
    void press(MyPopoverForCameraSettingViewController* popover, const char* button) {
        auto* b = popover->findChild<QAbstractButton*>(QLatin1String(button));
        ASSERT_NE(b, nullptr) << button;
        QTest::mouseClick(b, Qt::LeftButton);
    }
    // Answers the alert that says `text` with its one button.
    void acknowledge(const QString& text) {
        QDialog* alert = nullptr;
        ASSERT_TRUE(waitUntil([&] { return (alert = shownDialog(window.get(), text)); }, kLong))
            << text.toStdString();
        QTest::mouseClick(buttonTitled(alert, QStringLiteral("OK")), Qt::LeftButton);
    }
    void replug() {
        umockdev_testbed_uevent(testbed, kUsbPath, "remove");
        ASSERT_TRUE(waitUntil([&] { return !defaults().boolForKey(kPrefCameraConnected); }, kLong));
        umockdev_testbed_uevent(testbed, kUsbPath, "add");
        ASSERT_TRUE(waitUntil([&] { return defaults().boolForKey(kPrefCameraConnected); }, kLong));
    }
    static constexpr const char* kUsbPath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-4";

    // Launched with the camera's settings shown, then the full window on the settings tab once
    // the program has settled into its mini panel.
    void showSettingsTab() {
        launch();
        ASSERT_TRUE(waitUntil(
            [&] {
                return controls() && popup("shutterspeedpopup") &&
                       popup("shutterspeedpopup")->count() > 1 && slider("exposurecomp") &&
                       slider("exposurecomp")->isEnabled();
            },
            kLong));
        drain();
        ASSERT_TRUE(waitUntil([&] { return window->isMiniPanel(); }, kLong));
        window->ibTestButton1();
        ASSERT_TRUE(window->selectTab(QStringLiteral("camerasettings")));
        drain();
        EXPECT_TRUE(window->findChild<QWidget*>(QStringLiteral("camsettingview1"))
                        ->isVisibleTo(window.get()));
        EXPECT_EQ(defaults().stringForKey(kPrefModelOfCurrentConnectedCamera),
                  QStringLiteral("Settings For: Zarv Virtual Camera"));
    }
    // Page one: the next shutter speed, as a person picks it with the keyboard. Page two:
    // exposure compensation one step up. The indexes chosen go to *chosen and *compensation.
    void changeBothPages(int* chosen, int* compensation) {
        QComboBox* shutter = popup("shutterspeedpopup");
        *chosen = shutter->currentIndex() + 1;
        ASSERT_LT(*chosen, shutter->count());
        QTest::keyClick(shutter, Qt::Key_Down);
        ASSERT_EQ(shutter->currentIndex(), *chosen);
        QTest::mouseClick(window->findChild<QToolButton*>(QStringLiteral("settingsPage")),
                          Qt::LeftButton);
        ASSERT_TRUE(waitUntil(
            [&] {
                return window->findChild<QWidget*>(QStringLiteral("finetunesettings"))
                    ->isVisibleTo(window.get());
            },
            kLong));
        QSlider* comp = slider("exposurecomp");
        *compensation = comp->value() + 1;
        QTest::keyClick(comp, Qt::Key_Right);
        drain();
    }
    void keepAsDefaults(int chosen) {
        press(openPopover("settingsSave"), "savedefault");
        acknowledge(QStringLiteral("Current Camera Settings has been saved as defaults."));
        const QVariantMap kept = defaults().dictionaryForKey(kPrefDefaultCameraSettings);
        EXPECT_EQ(kept.value(QStringLiteral("cameradevicename")).toString(), "Zarv Virtual Camera");
        EXPECT_EQ(kept.value(QStringLiteral("kNkMAIDCapability_ShutterSpeed"))
                      .toMap()
                      .value(QStringLiteral("currentsetting"))
                      .toInt(),
                  chosen + 1);
    }
    // Saved through the panel to `saved`; what the file holds goes to *file.
    void saveToFile(const QString& saved, int compensation, QVariantMap* file) {
        press(openPopover("settingsSave"), "savetofile");
        QFileDialog* panel = nullptr;
        ASSERT_TRUE(waitUntil(
            [&] { return (panel = window->findChild<QFileDialog*>()) && panel->isVisible(); },
            kLong));
        // The folder, then the name typed where the panel's cursor is.
        panel->setDirectory(QFileInfo(saved).path());
        auto* name = panel->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        ASSERT_NE(name, nullptr);
        name->selectAll();
        QTest::keyClicks(name, QFileInfo(saved).fileName());
        ASSERT_TRUE(waitUntil([&] { return panel->selectedFiles().value(0) == saved; }, kLong))
            << panel->selectedFiles().join(u' ').toStdString();
        static_cast<QDialog*>(panel)->done(QDialog::Accepted);
        acknowledge(QStringLiteral("Default Camera Settings Saved to"));
        *file = PropertyList::readFile(saved).toMap();
        EXPECT_EQ(file->value(QStringLiteral("kNkMAIDCapability_ExposureComp"))
                      .toMap()
                      .value(QStringLiteral("currentsetting"))
                      .toInt(),
                  compensation);
    }
    void mailFile() {
        press(openPopover("settingsSave"), "emailfile");
        std::optional<QStringList> args;
        ASSERT_TRUE(waitUntil(
            [&] { return (args = stubs.arguments(QStringLiteral("xdg-email"))).has_value(); },
            kLong));
        const qsizetype attach = args->indexOf(QStringLiteral("--attach"));
        ASSERT_GE(attach, 0);
        EXPECT_TRUE(
            args->value(attach + 1).endsWith(QLatin1String("DefaultCameraSettings.plist")) ||
            args->value(attach + 1).contains(QLatin1String("DefaultCameraSettings_")))
            << args->join(u' ').toStdString();
        ASSERT_TRUE(waitUntil(
            [&] { return log.contains(QStringLiteral("handed the message to the mail program")); },
            kLong));
    }
    // `file` as if kept on another camera model, with the first shutter speed, imported.
    void importFromOtherModel(QVariantMap other) {
        other.insert(QStringLiteral("cameradevicename"), QStringLiteral("Nikon Z 99"));
        QVariantMap speed = other.value(QStringLiteral("kNkMAIDCapability_ShutterSpeed")).toMap();
        speed.insert(QStringLiteral("currentsetting"), 1);
        other.insert(QStringLiteral("kNkMAIDCapability_ShutterSpeed"), speed);
        const QString imported = work.filePath(QStringLiteral("other.plist"));
        ASSERT_TRUE(PropertyList::writeFile(imported, other));
        press(openPopover("settingsLoad"), "loadfile");
        QFileDialog* panel = nullptr;
        ASSERT_TRUE(waitUntil(
            [&] { return (panel = window->findChild<QFileDialog*>()) && panel->isVisible(); },
            kLong));
        panel->selectFile(imported);
        static_cast<QDialog*>(panel)->done(QDialog::Accepted);
        acknowledge(QStringLiteral("Imported Camera Settings From File As Defaults..."));
        drain();
    }
};

TEST_F(WindowCameraSettings, ChangedKeptSavedMailedAppliedAndImported) {
    ZARV_SKIP_FORKS_UNDER_TSAN();
    ASSERT_NO_FATAL_FAILURE(showSettingsTab());
    int chosen = 0, compensation = 0;
    ASSERT_NO_FATAL_FAILURE(changeBothPages(&chosen, &compensation));

    // Read back from the camera, both reached it.
    refresh();
    EXPECT_EQ(popup("shutterspeedpopup")->currentIndex(), chosen);
    EXPECT_EQ(slider("exposurecomp")->value(), compensation);

    // Kept as defaults, then saved to a chosen file and mailed.
    ASSERT_NO_FATAL_FAILURE(keepAsDefaults(chosen));
    QVariantMap file;
    ASSERT_NO_FATAL_FAILURE(
        saveToFile(work.filePath(QStringLiteral("studio defaults.plist")), compensation, &file));
    ASSERT_NO_FATAL_FAILURE(mailFile());

    // The camera is changed by hand, unplugged and plugged in again: the defaults come back.
    QComboBox* shutter = popup("shutterspeedpopup");
    shutter->setFocus();
    QTest::keyClick(shutter, Qt::Key_Down);
    drain();
    replug();
    refresh();
    EXPECT_EQ(popup("shutterspeedpopup")->currentIndex(), chosen);

    // A file kept on another camera model is imported and applied to this one.
    ASSERT_NO_FATAL_FAILURE(importFromOtherModel(file));
    refresh();
    EXPECT_EQ(popup("shutterspeedpopup")->currentIndex(), 0);
    EXPECT_EQ(defaults()
                  .dictionaryForKey(kPrefDefaultCameraSettings)
                  .value(QStringLiteral("cameradevicename"))
                  .toString(),
              "Nikon Z 99");
}

} // namespace
} // namespace zarv
