#pragma once

#include "controls/CameraControls.h"

#include <QHash>
#include <QPointer>
#include <QWidget>

#include <memory>

class QComboBox;
class QSlider;

namespace Ui {
class CameraControlsViewController;
}

namespace zarv {

/// The "camerasettings" tab's settings pages (CameraControlsViewController.ui): page one
/// ("camsettingview1", eight pop-up lists) and page two ("finetunesettings", eight slider
/// containers), both in the frame of "camersettingviewplaceholder". It shows what the camera
/// controls report through their listener and passes a person's choices to them; it neither
/// reads nor writes the camera itself. Main thread only; `controls` must outlive it.
class CameraControlsViewController : public QWidget {
    Q_OBJECT
public:
    /// Becomes `controls`' listener.
    explicit CameraControlsViewController(CameraControls& controls, QWidget* parent = nullptr);
    ~CameraControlsViewController() override;

    // --- What the controls report (the listener) --------------------------------------------
    /// A list's items and, when given and within the list, its selection; otherwise the list
    /// keeps the position it had. Items a person may not choose are disabled at once. Filling
    /// asks nothing of the controls.
    void showList(const QString& popupIdentifier, const PopupList& list);
    /// A slider's label, range and value; the slider takes whole steps only, so the range is
    /// narrowed to the whole numbers within it and the value is its whole-number part.
    void showSlider(const QString& container, const SliderSetup& setup);
    /// Page one shown when a session exists, page two hidden.
    void preparePages(bool pageOneVisible);
    /// Every list's items enabled or disabled by whether a person may choose them.
    void ibAdjustPopup();

    // --- Paging ---------------------------------------------------------------------------------
    /// Shows the other page: both pages' visibility inverted when at least one is visible;
    /// nothing when both are hidden.
    void ibShowNextPageSettings();

    // --- A person's actions (also reachable for tests) -------------------------------------------
    /// Asks the controls to write the choice at `index` of the list, unless that item is
    /// disabled (then the list goes back to its previous position).
    void ibClickedOnPopupButton(QComboBox* popup, int index);
    /// Asks the controls to write the slider's position; the slider shows the whole step they
    /// wrote, or goes back to the value it showed before when they wrote none.
    void ibClickedOnSlider(QSlider* slider);
    /// Shows the label and value of the container's stored reading (kept when the camera's
    /// settings were last saved as defaults), when the controls have one; the range stays as
    /// the last read set it, and nothing is written.
    void ibClickedOnReset(const QString& container);

    /// The pop-up list or slider container with this identifier (without regard to case).
    QComboBox* popup(const QString& identifier) const;
    QWidget* sliderContainer(const QString& identifier) const;

private:
    void setUpPopups();
    void setUpSliders();
    void adjustItems(QComboBox* popup);
    void showSliderValue(QWidget* container, int value);
    void updatePlaceholder();

    CameraControls& m_controls;
    std::unique_ptr<Ui::CameraControlsViewController> m_ui;
    // The position each list showed before a person's choice: where a refused choice returns.
    QHash<QComboBox*, int> m_listPositions;
    // The value each slider showed before it was moved: where an unwritten move returns.
    QHash<QSlider*, int> m_sliderValues;
};

} // namespace zarv
