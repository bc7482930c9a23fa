#include "ui/MyPopoverViewController.h"
#include "UiTestSupport.h"

#include "app/MatchListShare.h"
#include "app/ShareStub.h"
#include "modules/ModulesTestSupport.h"
#include "platform/UserDefaults.h"

#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QFileDialog>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

namespace zarv {
namespace {

using test::FakeApplication;
using test::LogCapture;
using test::shownOn;
using test::StubPath;
using test::waitUntil;

const QString kXdgEmail = QStringLiteral("xdg-email");

QVariantMap factoryList() {
    return {{QStringLiteral("LookupTable"),
             QVariantMap{{QStringLiteral("D800"),
                          test::lookupEntry(QStringLiteral("D800"),
                                            QStringLiteral("Type0007 Module.bundle"), 0x0422)}}}};
}

class MyPopoverTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        window.setObjectName(QStringLiteral("mainwindow"));
        window.resize(400, 300);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        view = std::make_unique<MyPopoverViewController>(&window);
        view->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
        stub.addRecorder(kXdgEmail);
        stub.addRecorder(QStringLiteral("xdg-open"));
        QGuiApplication::clipboard()->clear();
    }
    void TearDown() override {
        for (QDialog* dialog : window.findChildren<QDialog*>())
            delete dialog;
    }
    QPushButton* button(const char* name) {
        return view->findChild<QPushButton*>(QLatin1String(name));
    }

    QTemporaryDir tmp;
    test::ScopedEnvironment tmpdir{"TMPDIR", tmp.path()};
    FakeApplication app{factoryList()};
    StubPath stub;
    QWidget window;
    std::unique_ptr<MyPopoverViewController> view;
};

TEST_F(MyPopoverTest, CtrlOnTheEmailButtonSharesByMessage) {
    LogCapture log;
    QTest::mouseClick(button("email"), Qt::LeftButton, Qt::ControlModifier);
    const QString text = QGuiApplication::clipboard()->text();
    EXPECT_TRUE(text.startsWith(QStringLiteral("Here's my camera modules info...\n\n")))
        << text.toStdString();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("/MatchedCameras_\\d{14}\\.plist$"))
                    .match(text)
                    .hasMatch());
    EXPECT_TRUE(log.contains(QStringLiteral("put the text on the clipboard")));
    // The file's folder is opened; no e-mail is composed.
    ASSERT_TRUE(waitUntil([&] { return stub.arguments(QStringLiteral("xdg-open")).has_value(); }));
    EXPECT_EQ(stub.arguments(QStringLiteral("xdg-open")), QStringList{app.scratchFolder()});
    QTest::qWait(300);
    EXPECT_FALSE(stub.arguments(kXdgEmail));
}

TEST_F(MyPopoverTest, TheEmailButtonMailsTheFileToTheConfiguredMailbox) {
    UserDefaults::standard().setObject(kPrefSupportEmailAddress,
                                       QStringLiteral(" help@example.org "));
    LogCapture log;
    QTest::mouseClick(button("email"), Qt::LeftButton);
    UserDefaults::standard().removeObject(kPrefSupportEmailAddress);
    ASSERT_TRUE(waitUntil([&] { return log.contains(QStringLiteral("handed the message")); }));
    const QStringList args = *stub.arguments(kXdgEmail);
    ASSERT_EQ(args.size(), 7) << args.join(u'|').toStdString();
    EXPECT_EQ(args.at(1), shareSubject());
    EXPECT_TRUE(args.at(3).startsWith(QStringLiteral("Here's my camera modules info...\n\nOS ")));
    EXPECT_EQ(args.at(4), QStringLiteral("--attach"));
    EXPECT_TRUE(args.at(5).startsWith(app.scratchFolder() + QStringLiteral("/MatchedCameras_")));
    EXPECT_EQ(args.at(6), QStringLiteral("help@example.org"));
    EXPECT_TRUE(QGuiApplication::clipboard()->text().isEmpty());
    EXPECT_TRUE(shownOn<QDialog>(window).isEmpty());
}

TEST_F(MyPopoverTest, MissingXdgEmailShowsAnAlertOnTheWindow) {
    QFile::remove(stub.path() + u'/' + kXdgEmail);
    LogCapture log;
    QTest::mouseClick(button("email"), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return !shownOn<QDialog>(window).isEmpty(); }, 2000));
    QDialog* alert = shownOn<QDialog>(window).constLast();
    EXPECT_TRUE(alert->windowModality() == Qt::WindowModal);
    bool named = false;
    for (const QLabel* label : alert->findChildren<QLabel*>())
        named = named || label->text().contains(QStringLiteral("xdg-email was not found"));
    EXPECT_TRUE(named);
    EXPECT_TRUE(log.contains(QStringLiteral("xdg-email was not found")));
}

TEST_F(MyPopoverTest, SavePanelIsASheetThatReplacesTheChosenFile) {
    const QString chosen = tmp.filePath(QStringLiteral("chosen.plist"));
    {
        QFile old(chosen);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("an older file");
    }
    QTest::mouseClick(button("savetofile"), Qt::LeftButton);
    const QList<QFileDialog*> panels = shownOn<QFileDialog>(window);
    ASSERT_EQ(panels.size(), 1);
    QFileDialog* panel = panels.constFirst();
    EXPECT_EQ(panel->windowModality(), Qt::WindowModal);
    EXPECT_EQ(panel->acceptMode(), QFileDialog::AcceptSave);
    ASSERT_FALSE(panel->selectedFiles().isEmpty());
    EXPECT_TRUE(QRegularExpression(QStringLiteral("/MatchedCameras_\\d{14}\\.plist$"))
                    .match(panel->selectedFiles().constFirst())
                    .hasMatch());

    panel->selectFile(chosen);
    // As the panel ends after asking whether to replace the file.
    static_cast<QDialog*>(panel)->done(QDialog::Accepted);
    const QVariantMap saved = PropertyList::readFile(chosen).toMap();
    EXPECT_EQ(saved.value(QStringLiteral("FactoryDefaultNikonList")).toMap(), factoryList());

    // Cancelling copies nothing.
    QFile::remove(chosen);
    QTest::mouseClick(button("savetofile"), Qt::LeftButton);
    ASSERT_EQ(shownOn<QFileDialog>(window).size(), 1);
    panel = shownOn<QFileDialog>(window).constFirst();
    panel->selectFile(chosen);
    panel->reject();
    EXPECT_FALSE(QFile::exists(chosen));
}

TEST_F(MyPopoverTest, AListThatCannotBeWrittenIsNotSharedAndSaysWhy) {
    // Planted where the program's private scratch folder goes: nothing can be written.
    QDir(app.scratchFolder()).removeRecursively();
    QTemporaryDir elsewhere;
    ASSERT_TRUE(QFile::link(elsewhere.path(), app.scratchFolder()));
    LogCapture log;
    QTest::mouseClick(button("email"), Qt::LeftButton);
    EXPECT_TRUE(log.contains(QStringLiteral("Did NOT Save")));
    ASSERT_EQ(shownOn<QDialog>(window).size(), 1);
    bool named = false;
    for (const QLabel* label : shownOn<QDialog>(window).constFirst()->findChildren<QLabel*>())
        named = named || label->text().contains(QStringLiteral("could not be written"));
    EXPECT_TRUE(named);
    QTest::qWait(200);
    EXPECT_FALSE(stub.arguments(kXdgEmail)) << "mailed without its file";
    QFile::remove(app.scratchFolder());
}

TEST_F(MyPopoverTest, NothingToShareOnlyLogs) {
    QFile::remove(app.factoryListPath());
    UserDefaults::standard().removeObject(QStringLiteral("prefNikonLookupTable"));
    LogCapture log;
    QTest::mouseClick(button("savetofile"), Qt::LeftButton);
    QTest::mouseClick(button("email"), Qt::LeftButton);
    EXPECT_TRUE(log.contains(QStringLiteral("Unable to create plist file????")));
    EXPECT_TRUE(shownOn<QDialog>(window).isEmpty());
    QTest::qWait(200);
    EXPECT_FALSE(stub.arguments(kXdgEmail));
}

} // namespace
} // namespace zarv
