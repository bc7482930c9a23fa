#include "CameraControlsViewController.h"
#include "platform/Log.h"

#include "ViewAdditions.h"
#include "ui_CameraControlsViewController.h"

#include <QComboBox>
#include <QDebug>
#include <QLabel>
#include <QSignalBlocker>
#include <QSlider>
#include <QStandardItemModel>
#include <QStyle>
#include <QToolButton>

#include <algorithm>
#include <climits>
#include <cmath>

namespace zarv {

namespace {

const QString kPageOne = QStringLiteral("camsettingview1");
const QString kPageTwo = QStringLiteral("finetunesettings");

const QString kLogOwner = QStringLiteral("CameraControlsViewController");

// Slider ranges beyond what an int holds are no camera's; they are cut to it.
int wholeNumber(double value) {
    if (!std::isfinite(value))
        return 0;
    return int(std::clamp(wholePart(value), double(INT_MIN / 2), double(INT_MAX / 2)));
}

QString signedText(int value) {
    return value > 0 ? QStringLiteral("+%1").arg(value) : QString::number(value);
}

template <class T> T* part(const QWidget* container, const char* role) {
    return qobject_cast<T*>(findSubviewWithIdentifier(container, QLatin1String(role)));
}

} // namespace

CameraControlsViewController::CameraControlsViewController(CameraControls& controls,
                                                           QWidget* parent)
    : QWidget(parent), m_controls(controls),
      m_ui(std::make_unique<Ui::CameraControlsViewController>()) {
    m_ui->setupUi(this);
    setUpPopups();
    setUpSliders();
    updatePlaceholder();

    // The controls report on the main thread; a report after this view is gone does nothing.
    QPointer<CameraControlsViewController> self(this);
    CameraControls::Listener listener;
    listener.listChanged = [self](const QString& identifier, const PopupList& list) {
        if (self)
            self->showList(identifier, list);
    };
    listener.sliderChanged = [self](const QString& container, const SliderSetup& setup) {
        if (self)
            self->showSlider(container, setup);
    };
    listener.pagesPrepared = [self](bool pageOneVisible) {
        if (self)
            self->preparePages(pageOneVisible);
    };
    listener.readPassFinished = [self] {
        if (self)
            self->ibAdjustPopup();
    };
    listener.fineTuneSubviews = [self] {
        QStringList identifiers;
        if (self)
            for (const QWidget* w : self->m_ui->finetunesettings->findChildren<QWidget*>(
                     QString(), Qt::FindDirectChildrenOnly))
                identifiers << w->objectName();
        return identifiers;
    };
    m_controls.setListener(std::move(listener));
}

CameraControlsViewController::~CameraControlsViewController() = default;

void CameraControlsViewController::setUpPopups() {
    for (QComboBox* list : m_ui->camsettingview1->findChildren<QComboBox*>()) {
        // activated() comes from a person only, never from filling the list.
        connect(list, &QComboBox::activated, this,
                [this, list](int index) { ibClickedOnPopupButton(list, index); });
        m_listPositions.insert(list, list->currentIndex());
    }
}

void CameraControlsViewController::setUpSliders() {
    const QIcon resetIcon = QIcon::fromTheme(QStringLiteral("edit-undo"),
                                             style()->standardIcon(QStyle::SP_BrowserReload));
    for (QWidget* container :
         m_ui->finetunesettings->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        // The parts are named after their container in the layout file (names there are unique);
        // inside the container they go by their roles.
        const QString prefix = container->objectName() + u'_';
        const QList<QWidget*> parts =
            container->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
        if (parts.isEmpty())
            continue;
        for (QWidget* widget : parts)
            if (widget->objectName().startsWith(prefix))
                widget->setObjectName(widget->objectName().mid(prefix.size()));
        auto* slider = part<QSlider>(container, "slider");
        auto* value = part<QLabel>(container, "currentvalue");
        auto* reset = part<QToolButton>(container, "reset");
        if (!slider || !value || !reset)
            continue;
        reset->setIcon(resetIcon);
        m_sliderValues.insert(slider, slider->value());
        // While the knob is dragged the text follows it; the camera hears of the step on release
        // (the slider does not track), of a key or wheel step at once.
        connect(slider, &QSlider::sliderMoved, value,
                [value](int position) { value->setText(QString::number(position)); });
        connect(slider, &QSlider::valueChanged, this,
                [this, slider] { ibClickedOnSlider(slider); });
        const QString name = container->objectName();
        connect(reset, &QToolButton::clicked, this, [this, name] { ibClickedOnReset(name); });
    }
}

QComboBox* CameraControlsViewController::popup(const QString& identifier) const {
    return qobject_cast<QComboBox*>(
        findSubviewWithIdentifier(m_ui->camsettingview1, identifier.trimmed()));
}

QWidget* CameraControlsViewController::sliderContainer(const QString& identifier) const {
    QWidget* container = findSubviewWithIdentifier(m_ui->finetunesettings, identifier.trimmed());
    return container && part<QSlider>(container, "slider") ? container : nullptr;
}

// --- Lists ------------------------------------------------------------------------------------

void CameraControlsViewController::showList(const QString& popupIdentifier, const PopupList& list) {
    QComboBox* box = popup(popupIdentifier);
    if (!box) {
        Log::inside(zarvUi, kLogOwner,
                    "setupPopupList:", QStringLiteral("no list [%1]").arg(popupIdentifier));
        return;
    }
    const QSignalBlocker quiet(box);
    const int previous = box->currentIndex();
    box->clear();
    box->addItems(list.items);
    int position = previous;
    if (list.selection) {
        if (*list.selection >= 0 && *list.selection < box->count())
            position = *list.selection;
        else
            Log::inside(zarvUi, kLogOwner, "setupPopupList:",
                        QStringLiteral("[%1] has no item %2: the list keeps its "
                                       "position")
                            .arg(box->objectName())
                            .arg(*list.selection));
    }
    box->setCurrentIndex(position >= 0 && position < box->count() ? position
                                                                  : (box->count() ? 0 : -1));
    m_listPositions.insert(box, box->currentIndex());
    adjustItems(box);
}

void CameraControlsViewController::adjustItems(QComboBox* box) {
    auto* model = qobject_cast<QStandardItemModel*>(box->model());
    if (!model)
        return;
    for (int row = 0; row < model->rowCount(); ++row) {
        QStandardItem* item = model->item(row);
        if (item)
            item->setEnabled(isChoiceEnabled(box->objectName(), item->text()));
    }
}

void CameraControlsViewController::ibAdjustPopup() {
    for (QComboBox* box : m_ui->camsettingview1->findChildren<QComboBox*>())
        adjustItems(box);
}

void CameraControlsViewController::ibClickedOnPopupButton(QComboBox* box, int index) {
    if (!box || index < 0 || index >= box->count())
        return;
    const bool enabled = box->model()->index(index, 0).flags().testFlag(Qt::ItemIsEnabled);
    if (!enabled) {
        // A disabled item reached by typing: the camera keeps its setting, the list shows it.
        Log::inside(
            zarvUi, kLogOwner, "ibClickedOnPopupButton:",
            QStringLiteral("[%1] item %2 cannot be chosen").arg(box->objectName()).arg(index));
        const QSignalBlocker quiet(box);
        box->setCurrentIndex(m_listPositions.value(box, -1));
        return;
    }
    m_listPositions.insert(box, index);
    Log::inside(zarvUi, kLogOwner, "ibClickedOnPopupButton:",
                QStringLiteral("asking to write [%1] item %2").arg(box->objectName()).arg(index));
    m_controls.ibClickedOnPopupButton(box->objectName(), index);
}

// --- Sliders ----------------------------------------------------------------------------------

void CameraControlsViewController::showSlider(const QString& container, const SliderSetup& setup) {
    QWidget* box = sliderContainer(container);
    if (!box) {
        Log::inside(zarvUi, kLogOwner,
                    "ibSetupSliderForCapability:", QStringLiteral("no slider [%1]").arg(container));
        return;
    }
    if (!setup.label.isEmpty())
        if (auto* label = part<QLabel>(box, "label"))
            label->setText(setup.label);
    // Whole steps only: the whole numbers inside the range.
    const int lower = wholeNumber(std::ceil(setup.minimum));
    const int upper = wholeNumber(std::floor(setup.maximum));
    auto* slider = part<QSlider>(box, "slider");
    const QSignalBlocker quiet(slider);
    if (lower > upper) {
        Log::inside(zarvUi, kLogOwner, "ibSetupSliderForCapability:",
                    QStringLiteral("[%1] has no whole step between %2 and %3")
                        .arg(container)
                        .arg(setup.minimum)
                        .arg(setup.maximum));
        slider->setEnabled(false);
        return;
    }
    slider->setRange(lower, upper);
    slider->setEnabled(true);
    part<QLabel>(box, "lowervalue")->setText(signedText(lower));
    part<QLabel>(box, "uppervalue")->setText(signedText(upper));
    showSliderValue(box, std::clamp(wholeNumber(setup.value), lower, upper));
}

void CameraControlsViewController::showSliderValue(QWidget* container, int value) {
    auto* slider = part<QSlider>(container, "slider");
    {
        const QSignalBlocker quiet(slider);
        slider->setValue(value);
    }
    m_sliderValues.insert(slider, slider->value());
    part<QLabel>(container, "currentvalue")->setText(QString::number(slider->value()));
}

void CameraControlsViewController::ibClickedOnSlider(QSlider* slider) {
    if (!slider || !slider->parentWidget())
        return;
    QWidget* container = slider->parentWidget();
    const int position = slider->value();
    const std::optional<double> step =
        m_controls.ibClickedOnSlider(container->objectName(), double(position));
    Log::inside(zarvUi, kLogOwner, "ibClickedOnSlider:",
                QStringLiteral("[%1] released at %2, written %3")
                    .arg(container->objectName())
                    .arg(position)
                    .arg(step ? QString::number(*step) : QStringLiteral("nothing")));
    showSliderValue(container,
                    step ? std::clamp(wholeNumber(*step), slider->minimum(), slider->maximum())
                         : m_sliderValues.value(slider, slider->value()));
}

void CameraControlsViewController::ibClickedOnReset(const QString& container) {
    QWidget* box = sliderContainer(container);
    const QWidget* button = box ? findSubviewWithIdentifier(box, QStringLiteral("reset")) : nullptr;
    qCInfo(zarvUi).noquote() << QStringLiteral("parentIdentifier[%1] contains button[%2]")
                                    .arg(box ? box->objectName() : container,
                                         button ? button->objectName() : QString());
    const std::optional<CameraControls::SliderReset> reset = m_controls.ibClickedOnReset(container);
    Log::inside(zarvUi, kLogOwner, "ibClickedOnReset:",
                QStringLiteral("[%1] stored reading %2")
                    .arg(container, reset && reset->value ? QString::number(*reset->value)
                                                          : QStringLiteral("none")));
    if (!box || !reset)
        return;
    if (reset->label && !reset->label->isEmpty())
        part<QLabel>(box, "label")->setText(*reset->label);
    // Only what is shown changes: the slider keeps the range the camera gave at the last read.
    if (reset->value) {
        auto* slider = part<QSlider>(box, "slider");
        showSliderValue(
            box, std::clamp(wholeNumber(*reset->value), slider->minimum(), slider->maximum()));
    }
}

// --- Pages ------------------------------------------------------------------------------------

void CameraControlsViewController::preparePages(bool pageOneVisible) {
    m_ui->camsettingview1->setVisible(pageOneVisible);
    m_ui->finetunesettings->setVisible(false);
    updatePlaceholder();
}

void CameraControlsViewController::ibShowNextPageSettings() {
    QWidget* one = findSubviewWithIdentifier(this, kPageOne);
    QWidget* two = findSubviewWithIdentifier(this, kPageTwo);
    if (!one || !two)
        return;
    const bool oneHidden = one->isHidden();
    const bool twoHidden = two->isHidden();
    if (oneHidden && twoHidden)
        return;
    one->setHidden(!oneHidden);
    two->setHidden(!twoHidden);
    updatePlaceholder();
}

void CameraControlsViewController::updatePlaceholder() {
    // The hint is for an empty tab only: the pages lie over the placeholder.
    m_ui->noSettingsHint->setVisible(m_ui->camsettingview1->isHidden() &&
                                     m_ui->finetunesettings->isHidden());
}

} // namespace zarv
