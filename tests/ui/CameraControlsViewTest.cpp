// The settings pages' widgets over the camera controls: what the controls report is shown, and a
// person's actions (only those) ask the controls. The controls run without a camera; what the
// view asked of them is read from its log lines.

#include "UiTestSupport.h"
#include "ui/CameraControlsViewController.h"

#include "TestSupport.h"
#include "platform/Dispatch.h"
#include "platform/UserDefaults.h"

#include <QComboBox>
#include <QLabel>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSlider>
#include <QStandardItemModel>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

namespace zarv {
namespace {

using test::LogCapture;

const QString kAsked = QStringLiteral("ibClickedOnPopupButton:...asking to write");

// Which items a person may choose is the settings logic's answer; without it linked in (a
// build of the widgets alone) every item is choosable and these cases cannot be checked.
bool settingsLogicPresent() {
    return !popupBindings().empty();
}

bool enabledAt(QComboBox* box, int row) {
    return box->model()->index(row, 0).flags().testFlag(Qt::ItemIsEnabled);
}

class CameraControlsView : public ::testing::Test {
protected:
    void SetUp() override {
        UserDefaults::standard().removeObject(kPrefNikonSettingsForAllModels);
        view = std::make_unique<CameraControlsViewController>(controls);
        view->resize(530, 320);
        view->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    }
    void TearDown() override {
        UserDefaults::standard().removeObject(kPrefNikonSettingsForAllModels);
    }

    QComboBox* list(const char* name) {
        QComboBox* box = view->popup(QLatin1String(name));
        EXPECT_NE(box, nullptr) << name;
        return box;
    }
    template <class T> T* part(const char* container, const char* role) {
        QWidget* box = view->sliderContainer(QLatin1String(container));
        EXPECT_NE(box, nullptr) << container;
        T* found = box ? box->findChild<T*>(QLatin1String(role)) : nullptr;
        EXPECT_NE(found, nullptr) << container << '/' << role;
        return found;
    }
    QWidget* page(const char* name) { return view->findChild<QWidget*>(QLatin1String(name)); }

    std::shared_ptr<DispatchQueue> queue =
        DispatchQueue::createSerial(QStringLiteral("test.camera"));
    CameraControls controls{test::controlsWithoutCamera(*queue)};
    std::unique_ptr<CameraControlsViewController> view;
};

TEST_F(CameraControlsView, PagesHoldTheListsAndSlidersByTheirIdentifiers) {
    for (const char* name :
         {"filesizepopup", "compressionlevelpopup", "sensitivitypopop", "shutterspeedpopup",
          "wbmodepopup", "exposuremodepopup", "aperturepopup", "savemediapopup"}) {
        QComboBox* box = list(name);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->parentWidget(), page("camsettingview1")) << name;
    }
    for (const char* name : {"tunesunlight", "tuneshade", "tunecloudy", "tuneincandescent",
                             "tuneflurorescent", "tuneflash", "tuneauto", "exposurecomp"}) {
        ASSERT_NE(view->sliderContainer(QLatin1String(name)), nullptr) << name;
        EXPECT_EQ(view->sliderContainer(QLatin1String(name))->parentWidget(),
                  page("finetunesettings"));
        EXPECT_NE(part<QLabel>(name, "label"), nullptr);
        EXPECT_NE(part<QLabel>(name, "currentvalue"), nullptr);
        EXPECT_NE(part<QToolButton>(name, "reset"), nullptr);
        // No range is known before the camera is read: nothing to move yet.
        EXPECT_FALSE(part<QSlider>(name, "slider")->isEnabled());
        EXPECT_FALSE(part<QSlider>(name, "slider")->hasTracking());
    }
    EXPECT_NE(page("camersettingviewplaceholder"), nullptr);
    // Nothing shown before the controls say so: only the hint.
    EXPECT_TRUE(page("camsettingview1")->isHidden());
    EXPECT_TRUE(page("finetunesettings")->isHidden());
    EXPECT_TRUE(view->findChild<QLabel*>(QStringLiteral("noSettingsHint"))->isVisible());
}

// Filling a list shows the items and the camera's choice, keeps the list's own position when
// the camera gives none (or one beyond the list), and never asks for a write.
TEST_F(CameraControlsView, FillingAListShowsItsSelectionAndWritesNothing) {
    LogCapture log;
    QComboBox* box = list("shutterspeedpopup");
    QSignalSpy activated(box, &QComboBox::activated);
    view->showList(QStringLiteral("shutterspeedpopup"),
                   {{QStringLiteral("1/250"), QStringLiteral("1/125"), QStringLiteral("1/60")}, 2});
    EXPECT_EQ(box->count(), 3);
    EXPECT_EQ(box->currentText(), QStringLiteral("1/60"));

    view->showList(QStringLiteral(" ShutterSpeedPopup "),
                   {{QStringLiteral("1/500"), QStringLiteral("1/250"), QStringLiteral("1/125"),
                     QStringLiteral("1/60")},
                    std::nullopt});
    EXPECT_EQ(box->count(), 4);
    EXPECT_EQ(box->currentIndex(), 2);

    view->showList(QStringLiteral("shutterspeedpopup"),
                   {{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}, 7});
    EXPECT_EQ(box->currentIndex(), 2);
    view->showList(QStringLiteral("shutterspeedpopup"), {{kUnsupportedItem}, std::nullopt});
    EXPECT_EQ(box->currentText(), kUnsupportedItem);
    view->showList(QStringLiteral("shutterspeedpopup"), {{}, -1});
    EXPECT_EQ(box->count(), 0);
    view->showList(QStringLiteral("nosuchpopup"), {{QStringLiteral("x")}, 0});

    EXPECT_EQ(activated.count(), 0);
    EXPECT_EQ(log.count(kAsked), 0);
    EXPECT_EQ(log.count(QStringLiteral("ibClickedOnSlider:")), 0);
}

// A person's choice asks the controls once, with the item's position.
TEST_F(CameraControlsView, APersonsChoiceAsksTheControlsOnceWithThePosition) {
    view->showList(
        QStringLiteral("filesizepopup"),
        {{QStringLiteral("Large"), QStringLiteral("Medium"), QStringLiteral("Small")}, 0});
    QComboBox* box = list("filesizepopup");
    LogCapture log;
    QTest::keyClick(box, Qt::Key_Down);
    EXPECT_EQ(box->currentIndex(), 1);
    EXPECT_EQ(log.count(kAsked), 1);
    EXPECT_EQ(log.count(kAsked + QStringLiteral(" [filesizepopup] item 1")), 1);
    // Showing the next reading asks nothing.
    view->showList(
        QStringLiteral("filesizepopup"),
        {{QStringLiteral("Large"), QStringLiteral("Medium"), QStringLiteral("Small")}, 2});
    EXPECT_EQ(log.count(kAsked), 1);
}

// An item a person may not choose is never written, however it is reached; the list goes back.
TEST_F(CameraControlsView, ADisabledItemIsNeverWritten) {
    view->showList(QStringLiteral("wbmodepopup"),
                   {{QStringLiteral("Auto"), QStringLiteral("Flash"), QStringLiteral("Shade")}, 0});
    QComboBox* box = list("wbmodepopup");
    auto* model = qobject_cast<QStandardItemModel*>(box->model());
    ASSERT_NE(model, nullptr);
    model->item(1)->setEnabled(false);
    LogCapture log;
    box->setCurrentIndex(1);
    view->ibClickedOnPopupButton(box, 1);
    EXPECT_EQ(log.count(kAsked), 0);
    EXPECT_EQ(box->currentIndex(), 0);
    EXPECT_TRUE(log.contains(QStringLiteral("[wbmodepopup] item 1 cannot be chosen")));
    // The keyboard passes over it.
    QTest::keyClick(box, Qt::Key_Down);
    EXPECT_EQ(box->currentIndex(), 2);
    EXPECT_EQ(log.count(kAsked + QStringLiteral(" [wbmodepopup] item 2")), 1);
}

// After a read pass every item is enabled exactly as the settings logic allows.
TEST_F(CameraControlsView, ReadPassEndEnablesItemsAsTheLogicAllows) {
    const QStringList items{QStringLiteral("JPEG Fine"),       QStringLiteral("RAW"),
                            QStringLiteral("raw + JPEG Fine"), QStringLiteral("Raw 12-bit"),
                            QStringLiteral("JPEG Basic"),      QStringLiteral("TIFF")};
    for (const char* name : {"compressionlevelpopup", "exposuremodepopup", "aperturepopup"})
        view->showList(QLatin1String(name), {items, 0});
    view->ibAdjustPopup();
    for (const char* name : {"compressionlevelpopup", "exposuremodepopup", "aperturepopup"})
        for (int row = 0; row < items.size(); ++row)
            EXPECT_EQ(enabledAt(list(name), row), isChoiceEnabled(QLatin1String(name), items[row]))
                << name << ' ' << items[row].toStdString();
}

// "RAW..." quality items, in any case, cannot be chosen; the others can. Disabled as soon as
// the list is filled, not only at the end of the read pass.
TEST_F(CameraControlsView, RawQualityItemsAreDisabledInAnyCase) {
    if (!settingsLogicPresent())
        GTEST_SKIP() << "the settings logic is not linked in: every item counts as choosable";
    view->showList(
        QStringLiteral("compressionlevelpopup"),
        {{QStringLiteral("JPEG Fine"), QStringLiteral("RAW"), QStringLiteral("raw + JPEG Fine"),
          QStringLiteral("Raw 12-bit"), QStringLiteral("JPEG Basic")},
         0});
    QComboBox* box = list("compressionlevelpopup");
    const bool expected[] = {true, false, false, false, true};
    for (int row = 0; row < 5; ++row)
        EXPECT_EQ(enabledAt(box, row), expected[row]) << row;
    LogCapture log;
    QTest::keyClick(box, Qt::Key_Down);
    EXPECT_EQ(box->currentIndex(), 4);
    EXPECT_EQ(log.count(kAsked + QStringLiteral(" [compressionlevelpopup] item 4")), 1);
}

TEST_F(CameraControlsView, NoExposureModeItemCanBeChosen) {
    if (!settingsLogicPresent())
        GTEST_SKIP() << "the settings logic is not linked in: every item counts as choosable";
    view->showList(
        QStringLiteral("exposuremodepopup"),
        {{QStringLiteral("Program"), QStringLiteral("Aperture priority"), QStringLiteral("Manual")},
         1});
    QComboBox* box = list("exposuremodepopup");
    for (int row = 0; row < 3; ++row)
        EXPECT_FALSE(enabledAt(box, row)) << row;
    LogCapture log;
    QTest::keyClick(box, Qt::Key_Down);
    QTest::keyClick(box, Qt::Key_Up);
    view->ibClickedOnPopupButton(box, 2);
    EXPECT_EQ(box->currentIndex(), 1);
    EXPECT_EQ(log.count(kAsked), 0);
}

// Sliders take whole steps: the range is narrowed to the whole numbers in it, the value is its
// whole-number part, and the texts show the ends and the value.
TEST_F(CameraControlsView, SlidersShowWholeStepsOfTheRange) {
    LogCapture log;
    view->showSlider(QStringLiteral("exposurecomp"),
                     {QStringLiteral("Exposure Compensation"), -6, 6, 2.0});
    auto* slider = part<QSlider>("exposurecomp", "slider");
    EXPECT_TRUE(slider->isEnabled());
    EXPECT_EQ(slider->minimum(), -6);
    EXPECT_EQ(slider->maximum(), 6);
    EXPECT_EQ(slider->value(), 2);
    EXPECT_EQ(part<QLabel>("exposurecomp", "currentvalue")->text(), QStringLiteral("2"));
    EXPECT_EQ(part<QLabel>("exposurecomp", "lowervalue")->text(), QStringLiteral("-6"));
    EXPECT_EQ(part<QLabel>("exposurecomp", "uppervalue")->text(), QStringLiteral("+6"));
    EXPECT_EQ(part<QLabel>("exposurecomp", "label")->text(),
              QStringLiteral("Exposure Compensation"));

    const struct {
        double lower, upper, value;
        int min, max, shown;
    } cases[] = {{-6, 6, 1.7, -6, 6, 1}, {-6, 6, -0.5, -6, 6, 0}, {-2.5, 2.5, 2.0, -2, 2, 2},
                 {-3, 3, 9, -3, 3, 3},   {-3, 3, NAN, -3, 3, 0},  {0, 0, 0, 0, 0, 0}};
    for (const auto& c : cases) {
        view->showSlider(QStringLiteral("TuneFluroRescent"), {{}, c.lower, c.upper, c.value});
        auto* s = part<QSlider>("tuneflurorescent", "slider");
        EXPECT_EQ(s->minimum(), c.min) << c.lower;
        EXPECT_EQ(s->maximum(), c.max) << c.upper;
        EXPECT_EQ(s->value(), c.shown) << c.value;
        EXPECT_EQ(part<QLabel>("tuneflurorescent", "currentvalue")->text().toInt(), c.shown);
    }
    // An empty label keeps the caption.
    EXPECT_FALSE(part<QLabel>("tuneflurorescent", "label")->text().isEmpty());
    // No whole step inside: nothing can be chosen.
    view->showSlider(QStringLiteral("tuneshade"), {{}, 0.2, 0.8, 0.5});
    EXPECT_FALSE(part<QSlider>("tuneshade", "slider")->isEnabled());
    // Showing asks nothing of the controls.
    EXPECT_EQ(log.count(QStringLiteral("ibClickedOnSlider:")), 0);
}

// A slider asks the controls on release only, with the whole position; it then shows the step
// they wrote, or the value it showed before when they wrote none.
TEST_F(CameraControlsView, ASliderAsksOnReleaseAndShowsWhatWasWritten) {
    view->showSlider(QStringLiteral("tunecloudy"), {QStringLiteral("WB Cloudy"), -6, 6, 2.0});
    auto* slider = part<QSlider>("tunecloudy", "slider");
    auto* text = part<QLabel>("tunecloudy", "currentvalue");
    LogCapture log;
    slider->setSliderDown(true);
    slider->setSliderPosition(5);
    EXPECT_EQ(text->text(), QStringLiteral("5")); // follows the knob
    EXPECT_EQ(log.count(QStringLiteral("ibClickedOnSlider:")), 0);
    slider->setSliderDown(false);
    const QStringList asked = log.lines().filter(QStringLiteral("ibClickedOnSlider:"));
    ASSERT_EQ(asked.size(), 1);
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("\\[tunecloudy\\] released at 5, written (\\S+)"))
            .match(asked.constFirst());
    ASSERT_TRUE(m.hasMatch()) << asked.constFirst().toStdString();
    const int expected = m.captured(1) == QLatin1String("nothing") ? 2 : m.captured(1).toInt();
    EXPECT_EQ(slider->value(), expected);
    EXPECT_EQ(text->text().toInt(), expected);

    // A key step is a person's too: asked once.
    QTest::keyClick(slider, Qt::Key_Left);
    EXPECT_EQ(log.lines().filter(QStringLiteral("ibClickedOnSlider:")).size(), 2);
}

// Reset shows the stored reading's label and value when the controls have one: the range stays
// as the last read set it, and nothing is written.
TEST_F(CameraControlsView, ResetShowsTheStoredReadingWithoutAWrite) {
    UserDefaults::standard().setObject(
        kPrefNikonSettingsForAllModels,
        QVariantMap{{QStringLiteral("D850"),
                     QVariantMap{{QStringLiteral("kNkMAIDCapability_WBTuneShade"),
                                  QVariantMap{{QStringLiteral("key"), QStringLiteral("WB Shade")},
                                              {QStringLiteral("lowervalue"), -3.0},
                                              {QStringLiteral("uppervalue"), 3.0},
                                              {QStringLiteral("currentsetting"), -1.0}}},
                                 {QStringLiteral("kNkMAIDCapability_WBTuneFlash"),
                                  QVariantMap{{QStringLiteral("currentsetting"), 2.0}}}}}});
    view->showSlider(QStringLiteral("tuneshade"), {QStringLiteral("Shade"), -6, 6, 3.0});
    view->showSlider(QStringLiteral("tuneflash"), {QStringLiteral("Flash"), -6, 6, -4.0});
    LogCapture log;
    QTest::mouseClick(part<QToolButton>("tuneshade", "reset"), Qt::LeftButton);
    QTest::mouseClick(part<QToolButton>("tuneflash", "reset"), Qt::LeftButton);
    EXPECT_TRUE(log.contains(QStringLiteral("parentIdentifier[tuneshade] contains button[reset]")));
    EXPECT_EQ(log.count(QStringLiteral("ibClickedOnSlider:")), 0);
    EXPECT_EQ(log.count(kAsked), 0);
    if (!settingsLogicPresent())
        return; // no stored reading is ever found
    auto* shade = part<QSlider>("tuneshade", "slider");
    EXPECT_EQ(shade->value(), -1);
    EXPECT_EQ(shade->minimum(), -6) << "the range the camera gave at the last read";
    EXPECT_EQ(shade->maximum(), 6);
    EXPECT_EQ(part<QLabel>("tuneshade", "currentvalue")->text(), QStringLiteral("-1"));
    EXPECT_EQ(part<QLabel>("tuneshade", "label")->text(), QStringLiteral("WB Shade"));
    // A reading with a value only: the value is shown, the label kept.
    EXPECT_EQ(part<QSlider>("tuneflash", "slider")->value(), 2);
    EXPECT_EQ(part<QLabel>("tuneflash", "currentvalue")->text(), QStringLiteral("2"));
    EXPECT_EQ(part<QLabel>("tuneflash", "label")->text(), QStringLiteral("Flash"));
}

TEST_F(CameraControlsView, PagingSwapsThePagesAndShowsNothingWhenBothAreHidden) {
    QWidget* one = page("camsettingview1");
    QWidget* two = page("finetunesettings");
    auto* hint = view->findChild<QLabel*>(QStringLiteral("noSettingsHint"));
    view->preparePages(true);
    EXPECT_FALSE(one->isHidden());
    EXPECT_TRUE(two->isHidden());
    EXPECT_FALSE(hint->isVisible());
    // Both pages take the placeholder's frame.
    EXPECT_EQ(one->geometry(), page("camersettingviewplaceholder")->geometry());
    view->ibShowNextPageSettings();
    EXPECT_TRUE(one->isHidden());
    EXPECT_FALSE(two->isHidden());
    view->ibShowNextPageSettings();
    EXPECT_FALSE(one->isHidden());
    EXPECT_TRUE(two->isHidden());

    view->preparePages(false);
    view->ibShowNextPageSettings();
    EXPECT_TRUE(one->isHidden());
    EXPECT_TRUE(two->isHidden());
    EXPECT_TRUE(hint->isVisible());

    // A second preparation while on page two goes back to page one.
    view->preparePages(true);
    view->ibShowNextPageSettings();
    view->preparePages(true);
    EXPECT_FALSE(one->isHidden());
    EXPECT_TRUE(two->isHidden());
}

// Reports that come after the view has gone do nothing.
TEST_F(CameraControlsView, ReportsAfterTheViewIsGoneAreIgnored) {
    view.reset();
    controls.ibHandleCameraRemoved();
    controls.ibReadCurrentCameraSettings();
    test::waitUntil([] { return false; }, 200);
    SUCCEED();
}

} // namespace
} // namespace zarv
