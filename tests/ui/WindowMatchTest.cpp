// The whole program in its window (offscreen) with a camera on USB that the module table does
// not know: the person answers the unknown-camera sheet with YES, the search finds the virtual
// camera's module, the table shows the new row, the camera connects and its picture arrives,
// and the match list is saved and mailed from the popover.
#include "WholeProgram.h"

#include "platform/PropertyList.h"
#include "ui/BusyIndicator.h"
#include "ui/MyPopoverViewController.h"
#include "ui/Popover.h"
#include "ui/ZarvNikonMatchModuleWindowController.h"

#include <QAbstractItemModel>
#include <QFileDialog>
#include <QPointer>
#include <QTableView>
#include <QTest>
#include <QToolButton>

namespace zarv {
namespace {

using namespace test;

const QString kCamera = QStringLiteral("Zarv Studio Camera");
const QString kModule = QStringLiteral("ZarvVirtualCamera Module.bundle");

MyPopoverViewController* shownSharingView() {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (qobject_cast<Popover*>(widget) && widget->isVisible())
            if (auto* view = widget->findChild<MyPopoverViewController*>())
                return view;
    return nullptr;
}

bool tableShows(QTableView* table, const QString& device, const QString& module) {
    const QAbstractItemModel* model = table->model();
    for (int row = 0; row < model->rowCount(); ++row) {
        QStringList cells;
        for (int column = 0; column < model->columnCount(); ++column)
            cells << model->index(row, column).data(Qt::DisplayRole).toString();
        if (cells.contains(device) &&
            cells.join(u'\n').contains(module.left(module.size() - int(qstrlen(".bundle")))))
            return true;
    }
    return false;
}

// The camera answers with a name the table does not know and holds one picture.
class WindowMatch : public WholeProgram {
protected:
    WindowMatch() {
        cameraModel = kCamera;
        usbDescription = QStringLiteral("zarv-studio-camera.umockdev");
    }
};

TEST_F(WindowMatch, UnknownCameraIsMatchedConnectedAndItsListShared) {
    launch();
    // The camera is unknown: the window asks whether to search.
    QDialog* sheet = nullptr;
    ASSERT_TRUE(waitUntil(
        [&] {
            return (sheet = shownDialog(window.get(), QStringLiteral("Unknown Camera Found??")));
        },
        kLong));
    QAbstractButton* yes = buttonTitled(sheet, QStringLiteral("YES"));
    ASSERT_NE(yes, nullptr);
    QTest::mouseClick(yes, Qt::LeftButton);

    // The search runs behind the main window, which stays free: its busy indicator spins and its
    // status line names the module being tried. It ends on the virtual camera's module; the
    // program then asks to be started again.
    auto* busy = window->findChild<BusyIndicator*>(QStringLiteral("ibProgressIndicator1"));
    auto* status = window->findChild<QLabel*>(QStringLiteral("nameOfCameraFound"));
    ASSERT_TRUE(busy && status);
    bool spun = false;
    bool named = false;
    bool sheetShown = false;
    ASSERT_TRUE(waitUntil(
        [&] {
            spun = spun || busy->isBusy();
            named = named || status->text() == QStringLiteral("Checking module: %1").arg(kModule);
            const auto* match = window->findChild<ZarvNikonMatchModuleWindowController*>();
            sheetShown = sheetShown || (match && match->isVisible());
            return QFileInfo::exists(relaunchRecord);
        },
        kLong));
    EXPECT_TRUE(spun);
    EXPECT_TRUE(named);
    EXPECT_FALSE(sheetShown) << "no sheet over the main window";
    EXPECT_TRUE(log.contains(QStringLiteral("Module match: Matched to Module: %1").arg(kModule)));
    const QVariantMap table =
        defaults().objectForKey(QStringLiteral("prefNikonLookupTable")).toMap();
    const QVariantMap entry = table.value(kCamera).toMap();
    EXPECT_EQ(entry.value(QStringLiteral("modulename")).toString(), kModule);
    EXPECT_EQ(entry.value(QStringLiteral("devicename")).toString(), kCamera);
    EXPECT_EQ(entry.value(QStringLiteral("productid")).toInt(), 0x7a02);
    // The built-in rows stay beside the new one.
    EXPECT_TRUE(table.contains(QStringLiteral("Zarv Virtual Camera")));

    // Started again, the program connects the camera through the found module; its picture
    // arrives and the module table shows the new row.
    quit();
    launch();
    EXPECT_TRUE(waitUntil([&] { return QDir(hot).entryList(QDir::Files).size() == 1; }, kLong))
        << defaults().stringForKey(QStringLiteral("prefNameOfCameraFound")).toStdString();
    EXPECT_EQ(shownDialog(window.get(), QStringLiteral("Unknown Camera Found??")), nullptr);
    auto* moduleTable = window->findChild<QTableView*>(QStringLiteral("ibModuleTableView"));
    ASSERT_NE(moduleTable, nullptr);
    EXPECT_TRUE(waitUntil([&] { return tableShows(moduleTable, kCamera, kModule); }, kLong));

    // The match list from the popover: saved to a file the person names, and mailed.
    window->ibTestButton1();
    ASSERT_TRUE(window->selectTab(QStringLiteral("modules")));
    auto* matches = window->findChild<QToolButton*>(QStringLiteral("moduleMatchList"));
    ASSERT_NE(matches, nullptr);
    QTest::mouseClick(matches, Qt::LeftButton);
    MyPopoverViewController* sharing = nullptr;
    ASSERT_TRUE(waitUntil([&] { return (sharing = shownSharingView()); }, kLong));
    QTest::mouseClick(sharing->findChild<QAbstractButton*>(QStringLiteral("savetofile")),
                      Qt::LeftButton);
    QFileDialog* panel = nullptr;
    ASSERT_TRUE(waitUntil(
        [&] {
            panel = window->findChild<QFileDialog*>();
            return panel && panel->isVisible();
        },
        kLong));
    const QString saved = work.filePath(QStringLiteral("my cameras.plist"));
    panel->selectFile(saved);
    static_cast<QDialog*>(panel)->done(QDialog::Accepted);
    ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(saved); }, kLong));
    QString error;
    const QVariantMap list = PropertyList::readFile(saved, &error).toMap();
    EXPECT_TRUE(list.value(QStringLiteral("prefNikonLookupTable")).toMap().contains(kCamera))
        << error.toStdString();

    QTest::mouseClick(matches, Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return (sharing = shownSharingView()); }, kLong));
    QTest::mouseClick(sharing->findChild<QAbstractButton*>(QStringLiteral("email")),
                      Qt::LeftButton);
    std::optional<QStringList> args;
    ASSERT_TRUE(waitUntil(
        [&] { return (args = stubs.arguments(QStringLiteral("xdg-email"))).has_value(); }, kLong));
    const qsizetype attach = args->indexOf(QStringLiteral("--attach"));
    ASSERT_GE(attach, 0) << args->join(u' ').toStdString();
    ASSERT_LT(attach + 1, args->size());
    const QVariantMap mailed = PropertyList::readFile(args->at(attach + 1), &error).toMap();
    EXPECT_TRUE(mailed.value(QStringLiteral("prefNikonLookupTable")).toMap().contains(kCamera))
        << error.toStdString();
    EXPECT_TRUE(waitUntil(
        [&] { return log.contains(QStringLiteral("handed the message to the mail program")); },
        kLong));
}

} // namespace
} // namespace zarv
