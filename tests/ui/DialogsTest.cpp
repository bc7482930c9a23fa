#include "TestSupport.h"

#include "app/AppView.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"
#include "ui/ConfirmQuitSheet.h"
#include "ui/Sheets.h"
#include "ui/ZarvInfoWindowController.h"

#include <QLabel>
#include <QMutex>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QStyle>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace zarv {
namespace {

// Every answer a completion received, in order.
struct Answers {
    std::vector<long> codes;
    std::function<void(long)> completion() {
        return [this](long code) { codes.push_back(code); };
    }
};

// deleteLater() outside a running event loop waits for this.
void flushDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// A key as the operator presses it: to the widget with the focus.
void press(QWidget* dialog, Qt::Key key) {
    QWidget* target = dialog->focusWidget() ? dialog->focusWidget() : dialog;
    QTest::keyClick(target, key);
}

QList<QPushButton*> buttonsOf(QDialog* dialog) {
    return dialog->findChildren<QPushButton*>();
}

Alert threeButtonAlert() {
    Alert alert;
    alert.style = Alert::Style::Informational;
    alert.message = QStringLiteral("Search <b>all</b> modules?");
    alert.informativeText = QStringLiteral("No module is known for the camera.");
    alert.buttons = {QStringLiteral("YES"), QStringLiteral("NO"), QStringLiteral("Later")};
    alert.cancelReturnCode = kAlertSecondButtonReturn;
    return alert;
}

class Dialogs : public ::testing::Test {
protected:
    void SetUp() override {
        parent.resize(400, 300);
        parent.show();
    }
    void TearDown() override { flushDeletes(); }
    QWidget parent;
};

TEST_F(Dialogs, AlertShowsItsTextsAndButtonsInOrderWithoutBlocking) {
    Answers answers;
    QPointer<QDialog> dialog = beginAlertSheet(&parent, threeButtonAlert(), answers.completion());
    ASSERT_TRUE(dialog);
    // Returned while shown: no nested event loop, nothing answered yet.
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);
    EXPECT_EQ(dialog->parentWidget(), &parent);
    EXPECT_TRUE(answers.codes.empty());

    const auto* message = dialog->findChild<QLabel*>(QStringLiteral("alertMessage"));
    const auto* informative = dialog->findChild<QLabel*>(QStringLiteral("alertInformativeText"));
    ASSERT_TRUE(message && informative);
    EXPECT_EQ(message->text(), QStringLiteral("Search <b>all</b> modules?"));
    EXPECT_EQ(message->textFormat(), Qt::PlainText); // names and paths are not markup
    EXPECT_TRUE(message->font().bold());
    EXPECT_EQ(informative->text(), QStringLiteral("No module is known for the camera."));
    EXPECT_LT(message->geometry().top(), informative->geometry().top());

    const auto buttons = buttonsOf(dialog);
    ASSERT_EQ(buttons.size(), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(buttons[i]->text(), threeButtonAlert().buttons[i]);
        EXPECT_EQ(buttons[i]->isDefault(), i == 0);
    }
    // Laid out in the order given.
    EXPECT_LT(buttons[0]->geometry().left(), buttons[1]->geometry().left());
    EXPECT_LT(buttons[1]->geometry().left(), buttons[2]->geometry().left());
    dialog->reject();
}

TEST_F(Dialogs, AlertAnswersTheButtonsPositionOnceAndDeletesItself) {
    for (int position = 0; position < 3; ++position) {
        Answers answers;
        QPointer<QDialog> dialog =
            beginAlertSheet(&parent, threeButtonAlert(), answers.completion());
        QTest::mouseClick(buttonsOf(dialog)[position], Qt::LeftButton);
        EXPECT_EQ(answers.codes, std::vector<long>{kAlertFirstButtonReturn + position});
        flushDeletes();
        EXPECT_TRUE(dialog.isNull());
        EXPECT_EQ(answers.codes.size(), 1u) << "answered again when deleted";
    }
}

TEST_F(Dialogs, AlertReturnTakesTheFirstButtonAndEscapeOrClosingTheCancellingChoice) {
    Answers byReturn;
    press(beginAlertSheet(&parent, threeButtonAlert(), byReturn.completion()), Qt::Key_Return);
    EXPECT_EQ(byReturn.codes, std::vector<long>{kAlertFirstButtonReturn});

    Alert alert = threeButtonAlert();
    alert.cancelReturnCode = 1002;
    Answers byEscape;
    press(beginAlertSheet(&parent, alert, byEscape.completion()), Qt::Key_Escape);
    EXPECT_EQ(byEscape.codes, std::vector<long>{1002});

    Answers byClosing;
    beginAlertSheet(&parent, threeButtonAlert(), byClosing.completion())->close();
    EXPECT_EQ(byClosing.codes, std::vector<long>{kAlertSecondButtonReturn});
}

TEST_F(Dialogs, AlertWithoutButtonsOffersOk) {
    Alert alert;
    alert.message = QStringLiteral("Saved.");
    Answers answers;
    QDialog* dialog = beginAlertSheet(&parent, alert, answers.completion());
    const auto buttons = buttonsOf(dialog);
    ASSERT_EQ(buttons.size(), 1);
    EXPECT_EQ(buttons[0]->text(), QStringLiteral("OK"));
    press(dialog, Qt::Key_Return);
    EXPECT_EQ(answers.codes, std::vector<long>{kAlertFirstButtonReturn});
}

TEST_F(Dialogs, AlertIconFollowsTheStyle) {
    const std::pair<Alert::Style, QStyle::StandardPixmap> styles[] = {
        {Alert::Style::Warning, QStyle::SP_MessageBoxWarning},
        {Alert::Style::Informational, QStyle::SP_MessageBoxInformation},
        {Alert::Style::Critical, QStyle::SP_MessageBoxCritical},
    };
    for (const auto& [style, icon] : styles) {
        Alert alert = threeButtonAlert();
        alert.style = style;
        QDialog* dialog = beginAlertSheet(&parent, alert, {});
        const auto* label = dialog->findChild<QLabel*>(QStringLiteral("alertIcon"));
        ASSERT_TRUE(label);
        const int size = dialog->style()->pixelMetric(QStyle::PM_MessageBoxIconSize);
        const QPixmap expected = dialog->style()->standardIcon(icon).pixmap(size, size);
        EXPECT_EQ(label->pixmap().toImage(), expected.toImage()) << "style " << int(style);
        dialog->reject();
    }
}

TEST_F(Dialogs, AlertWhoseWindowGoesAwayStillAnswersOnceWithTheCancellingChoice) {
    auto window = std::make_unique<QWidget>();
    window->show();
    Answers answers;
    QPointer<QDialog> dialog =
        beginAlertSheet(window.get(), threeButtonAlert(), answers.completion());
    window.reset();
    EXPECT_TRUE(dialog.isNull());
    EXPECT_EQ(answers.codes, std::vector<long>{kAlertSecondButtonReturn});
}

TEST_F(Dialogs, AlertWithoutParentIsApplicationModal) {
    Answers answers;
    QDialog* dialog = beginAlertSheet(nullptr, threeButtonAlert(), answers.completion());
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->windowModality(), Qt::ApplicationModal);
    press(dialog, Qt::Key_Escape);
    EXPECT_EQ(answers.codes, std::vector<long>{kAlertSecondButtonReturn});
}

TEST_F(Dialogs, KeptSheetAnswersOncePerShowingAndIgnoresShowingWhileShown) {
    auto* sheet = new QDialog(&parent);
    QPointer<QDialog> kept = sheet;
    Answers first;
    Answers whileShown;
    Answers second;
    beginSheet(&parent, sheet, first.completion());
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_EQ(sheet->windowModality(), Qt::WindowModal);
    beginSheet(&parent, sheet, whileShown.completion());
    sheet->done(int(kCancelReturn));
    EXPECT_EQ(first.codes, std::vector<long>{kCancelReturn});
    EXPECT_TRUE(whileShown.codes.empty());

    beginSheet(&parent, sheet, second.completion());
    sheet->done(-1111);
    flushDeletes();
    ASSERT_FALSE(kept.isNull()) << "a kept sheet is not deleted";
    EXPECT_EQ(first.codes.size(), 1u);
    EXPECT_EQ(second.codes, std::vector<long>{-1111});
    EXPECT_TRUE(whileShown.codes.empty());
}

TEST_F(Dialogs, KeptSheetCanBeShownAgainFromItsCompletion) {
    QDialog sheet(&parent);
    Answers again;
    std::vector<long> firstCodes;
    beginSheet(&parent, &sheet, [&](long code) {
        firstCodes.push_back(code);
        beginSheet(&parent, &sheet, again.completion());
    });
    sheet.done(7);
    EXPECT_EQ(firstCodes, std::vector<long>{7});
    EXPECT_TRUE(sheet.isVisible());
    flushDeletes();
    sheet.done(8);
    EXPECT_EQ(again.codes, std::vector<long>{8});
    EXPECT_EQ(firstCodes.size(), 1u);
}

TEST_F(Dialogs, KeptSheetMovesToTheWindowItIsShownOn) {
    QWidget other;
    auto* sheet = new QDialog(&other);
    beginSheet(&parent, sheet, {});
    EXPECT_EQ(sheet->parentWidget(), &parent);
    EXPECT_TRUE(sheet->isWindow());
    sheet->done(0);
}

TEST_F(Dialogs, MissingOrDestroyedSheetAnswersCancel) {
    Answers none;
    beginSheet(&parent, nullptr, none.completion());
    EXPECT_EQ(none.codes, std::vector<long>{kCancelReturn});

    Answers destroyed;
    auto* sheet = new QDialog(&parent);
    beginSheet(&parent, sheet, destroyed.completion());
    delete sheet;
    EXPECT_EQ(destroyed.codes, std::vector<long>{kCancelReturn});
}

// --- The quit confirmation -------------------------------------------------------------------

TEST_F(Dialogs, QuitSheetButtonsAnswerTheirCodes) {
    ConfirmQuitSheet sheet(&parent);
    const std::pair<const char*, long> buttons[] = {
        {"confirmquit", kConfirmQuitReturn},
        {"confirmquitrelaunch", kConfirmQuitRelaunchReturn},
        {"cancel", kCancelReturn},
    };
    for (const auto& [name, code] : buttons) {
        Answers answers;
        beginSheet(&parent, &sheet, answers.completion());
        auto* button = sheet.findChild<QPushButton*>(QLatin1String(name));
        ASSERT_TRUE(button) << name;
        QTest::mouseClick(button, Qt::LeftButton);
        EXPECT_EQ(answers.codes, std::vector<long>{code}) << name;
        EXPECT_FALSE(sheet.isVisible());
        flushDeletes();
    }
}

TEST_F(Dialogs, QuitSheetReturnAndEscapeCancel) {
    ConfirmQuitSheet sheet(&parent);
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Escape}) {
        Answers answers;
        beginSheet(&parent, &sheet, answers.completion());
        press(&sheet, key);
        EXPECT_EQ(answers.codes, std::vector<long>{kCancelReturn}) << key;
        flushDeletes();
    }
    auto* cancel = sheet.findChild<QPushButton*>(QStringLiteral("cancel"));
    ASSERT_TRUE(cancel);
    EXPECT_TRUE(cancel->isDefault());
}

TEST_F(Dialogs, QuitSheetTakesOnlyAButtonsIdentifier) {
    ConfirmQuitSheet sheet(&parent);
    Answers answers;
    beginSheet(&parent, &sheet, answers.completion());
    QLabel impostor;
    impostor.setObjectName(QStringLiteral("confirmquit"));
    sheet.ibCloseConfirmWindow(&impostor);
    sheet.ibCloseConfirmWindow(nullptr);
    EXPECT_EQ(answers.codes, std::vector<long>{kCancelReturn});
}

// --- The information window -----------------------------------------------------------------

class InfoWindow : public Dialogs {
protected:
    void SetUp() override {
        Dialogs::SetUp();
        ASSERT_TRUE(dir.isValid());
        defaults = std::make_unique<UserDefaults>(dir.filePath(QStringLiteral("defaults.plist")));
    }
    QPlainTextEdit* textView(QWidget& window) {
        return window.findChild<QPlainTextEdit*>(QStringLiteral("ibTextView"));
    }
    QTemporaryDir dir;
    std::unique_ptr<UserDefaults> defaults;
};

TEST_F(InfoWindow, ShowsTheSettingWhenShownAndAsItChanges) {
    QStringList lines;
    for (int i = 0; i < 3000; ++i)
        lines << QStringLiteral("module %1 <b>   Type: %2").arg(i).arg(i % 3);
    const QString text = lines.join(u'\n');
    ZarvInfoWindowController window(*defaults, &parent);
    defaults->setObject(ZarvInfoWindowController::kTextKey, text);
    beginSheet(&parent, &window, {});
    QPlainTextEdit* view = textView(window);
    ASSERT_TRUE(view);
    EXPECT_TRUE(view->isReadOnly());
    EXPECT_EQ(view->toPlainText(), text);
    EXPECT_EQ(view->blockCount(), 3000);

    defaults->setObject(ZarvInfoWindowController::kTextKey, QStringLiteral("replaced"));
    EXPECT_TRUE(test::waitUntil([&] { return view->toPlainText() == QLatin1String("replaced"); }));
    window.reject();

    // Removed while hidden: the next showing is empty.
    defaults->removeObject(ZarvInfoWindowController::kTextKey);
    beginSheet(&parent, &window, {});
    EXPECT_TRUE(view->toPlainText().isEmpty());
    window.reject();
}

TEST_F(InfoWindow, CloseButtonAndEscapeEndTheSheetWithCancel) {
    Log::install(QStringLiteral("test_ui"));
    QMutex mutex;
    QStringList logged;
    Log::setSink([&](QtMsgType, const QString& line) {
        QMutexLocker lock(&mutex);
        logged << line;
    });
    ZarvInfoWindowController window(*defaults, &parent);
    Answers byButton;
    beginSheet(&parent, &window, byButton.completion());
    auto* close = window.findChild<QPushButton*>(QStringLiteral("ibCloseButton"));
    ASSERT_TRUE(close);
    QTest::mouseClick(close, Qt::LeftButton);
    Log::setSink({});
    EXPECT_EQ(byButton.codes, std::vector<long>{kCancelReturn});
    EXPECT_EQ(logged.filter(QStringLiteral("Inside ZarvInfoWindowController => ibCloseButton:... "))
                  .size(),
              1);
    flushDeletes();

    Answers byEscape;
    beginSheet(&parent, &window, byEscape.completion());
    press(&window, Qt::Key_Escape);
    EXPECT_EQ(byEscape.codes, std::vector<long>{kCancelReturn});
}

} // namespace
} // namespace zarv
