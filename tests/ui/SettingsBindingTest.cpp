#include "ui/SettingsBinding.h"
#include "platform/UserDefaults.h"

#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QTest>
#include <QThread>
#include <QWidget>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

using namespace zarv;

namespace {

UserDefaults& defaults() {
    return UserDefaults::standard();
}

// Writes from a thread of its own, as the camera and USB queues do, and waits for it.
void writeElsewhere(const QString& key, const QVariant& value) {
    std::thread([&] { defaults().setObject(key, value); }).join();
}

class SettingsBindingTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (const QString& key : {kText, kOther})
            defaults().removeObject(key);
        QCoreApplication::processEvents();
    }
    const QString kText = QStringLiteral("uitestBoundText");
    const QString kOther = QStringLiteral("uitestOtherText");
};

TEST_F(SettingsBindingTest, LabelFollowsItsKeyFromAnyThreadOnTheMainThread) {
    defaults().setObject(kText, QStringLiteral("before"));
    QLabel label;
    bindLabel(&label, kText);
    EXPECT_EQ(label.text(), QStringLiteral("before"));

    std::atomic<int> offMain{0};
    QObject owner;
    bindSetting(&owner, kText, [&](const QVariant&) {
        if (QThread::currentThread() != qApp->thread())
            ++offMain;
    });

    writeElsewhere(kText, QStringLiteral("< Camera Disconnected >"));
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return label.text() == QStringLiteral("< Camera Disconnected >"); }));
    // Another key leaves it alone; removing the key empties it.
    writeElsewhere(kOther, QStringLiteral("other"));
    defaults().removeObject(kText);
    EXPECT_TRUE(QTest::qWaitFor([&] { return label.text().isEmpty(); }));
    EXPECT_EQ(offMain.load(), 0);
}

// A write announced while the owner still lived arrives after it is gone: nothing is applied
// (AddressSanitizer reports the label's memory otherwise).
TEST_F(SettingsBindingTest, DestroyedOwnerIsNeverTouched) {
    int applied = 0;
    auto* owner = new QObject;
    bindSetting(owner, kText, [&](const QVariant&) { ++applied; });
    auto* label = new QLabel;
    bindLabel(label, kText);
    ASSERT_EQ(applied, 1);

    writeElsewhere(kText, QStringLiteral("queued"));
    delete owner;
    delete label;
    QTest::qWait(50);
    defaults().setObject(kText, QStringLiteral("direct"));
    writeElsewhere(kText, QStringLiteral("later"));
    QTest::qWait(50);
    EXPECT_EQ(applied, 1);
}

// A title bound again at each click of the disclosure button follows the key bound last.
TEST_F(SettingsBindingTest, BindingAgainReplacesTheEarlierBinding) {
    defaults().setObject(kText, QStringLiteral("first"));
    defaults().setObject(kOther, QStringLiteral("second"));
    QWidget window;
    bindWindowTitle(&window, kText);
    EXPECT_EQ(window.windowTitle(), QStringLiteral("first"));
    bindWindowTitle(&window, kOther);
    EXPECT_EQ(window.windowTitle(), QStringLiteral("second"));
    defaults().setObject(kText, QStringLiteral("stale"));
    QCoreApplication::processEvents();
    EXPECT_EQ(window.windowTitle(), QStringLiteral("second"));

    for (int i = 0; i < 3; ++i)
        bindWindowTitle(&window, kOther);
    defaults().setObject(kOther, QStringLiteral("third"));
    QCoreApplication::processEvents();
    EXPECT_EQ(window.windowTitle(), QStringLiteral("third"));
}

} // namespace
