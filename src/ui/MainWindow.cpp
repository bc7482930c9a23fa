#include "MainWindow.h"
#include "platform/Log.h"

#include "CameraControlsViewController.h"
#include "ConfirmQuitSheet.h"
#include "LiveViewPane.h"
#include "ModuleListModel.h"
#include "MyPopoverForCameraSettingViewController.h"
#include "MyPopoverViewController.h"
#include "Popover.h"
#include "SettingsBinding.h"
#include "Sheets.h"
#include "ViewAdditions.h"
#include "ZarvInfoWindowController.h"
#include "ZarvNikonMatchModuleWindowController.h"
#include "app/AppDelegate.h"
#include "app/WindowGeometry.h"
#include "platform/Beep.h"
#include "platform/UserDefaults.h"
#include "ui_MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMouseEvent>
#include <QSaveFile>
#include <QScreen>
#include <QStyle>
#include <QToolButton>
#include <QWindow>

#include <utility>

namespace zarv {

namespace {

const QString kCameraSettings = QStringLiteral("camerasettings");
const QString kLiveView = QStringLiteral("liveview");
const QString kMiniSizes = QStringLiteral("prefMiniSizesInfoArray");
const QString kSelectedMiniSize = QStringLiteral("prefSelectedMiniPanelSizeValue");

// The form changes run where the controller's would; their log lines name it.
const QString kLogOwner = QStringLiteral("AppDelegate");

UserDefaults& defaults() {
    return UserDefaults::standard();
}

QIcon themeIcon(const char* name, QStyle::StandardPixmap fallback, const QStyle* style) {
    return QIcon::fromTheme(QLatin1String(name), style->standardIcon(fallback));
}

// Margins of the window's content in each form: the mini panel is a tight strip.
constexpr QMargins kFullMargins{8, 8, 8, 6};
constexpr QMargins kMiniMargins{6, 4, 6, 4};
// Below this the mini panel shows the status row only.
constexpr int kDetailsRowMinHeight = 52;

} // namespace

MainWindow::MainWindow(AppDelegate& delegate, QWidget* parent)
    : QWidget(parent), m_delegate(delegate), m_ui(std::make_unique<Ui::MainWindow>()) {
    m_ui->setupUi(this);
    m_confirmQuit = new ConfirmQuitSheet(this);
    m_infoWindow = new ZarvInfoWindowController(this);
    m_cameraControls =
        new CameraControlsViewController(m_delegate.cameraControls(), m_ui->cameraControlsHome);
    m_ui->cameraControlsHomeLayout->addWidget(m_cameraControls);
    m_ui->bottomviewLayout->setAlignment(Qt::AlignVCenter);
    setUpModuleTable();

    const QStyle* s = style();
    const std::pair<QAbstractButton*, QIcon> icons[] = {
        {m_ui->moduleAdd, themeIcon("list-add", QStyle::SP_FileDialogNewFolder, s)},
        {m_ui->moduleDelete, themeIcon("list-remove", QStyle::SP_TrashIcon, s)},
        {m_ui->moduleRefresh, themeIcon("view-refresh", QStyle::SP_BrowserReload, s)},
        {m_ui->moduleMatchList, themeIcon("edit-find", QStyle::SP_FileDialogContentsView, s)},
        {m_ui->moduleImport, themeIcon("document-import", QStyle::SP_DialogOpenButton, s)},
        {m_ui->moduleReveal, themeIcon("folder-open", QStyle::SP_DirOpenIcon, s)},
        {m_ui->settingsAdd, themeIcon("list-add", QStyle::SP_FileDialogNewFolder, s)},
        {m_ui->settingsPage, themeIcon("go-next", QStyle::SP_ArrowForward, s)},
        {m_ui->settingsRefresh, themeIcon("view-refresh", QStyle::SP_BrowserReload, s)},
        {m_ui->settingsSave, themeIcon("document-save", QStyle::SP_DialogSaveButton, s)},
        {m_ui->settingsLoad, themeIcon("document-open", QStyle::SP_DialogOpenButton, s)},
        {m_ui->settingsBack, themeIcon("go-previous", QStyle::SP_ArrowBack, s)},
    };
    for (const auto& [button, icon] : icons)
        button->setIcon(icon);

    m_liveView = new LiveViewPane(
        m_delegate.liveView(), [this] { m_delegate.ibHitButton2(); }, m_ui->ibTabView);
    m_ui->ibTabView->addTab(m_liveView, tr("Live View"));
    connect(m_liveView, &LiveViewPane::stateChanged, this, [this] { scheduleStateWrite(); });

    m_stateFile = qEnvironmentVariable("ZARV_UI_STATE_FILE");
    m_stateTimer.setSingleShot(true);
    m_stateTimer.setInterval(50);
    connect(&m_stateTimer, &QTimer::timeout, this, &MainWindow::writeState);

    bindSettings();
    connectControls();
    m_ui->bottomview->installEventFilter(this);
    // The full window until start-up makes the mini panel.
    setFormControls(false, window::kMiniPanelBaseHeight - int(window::kDefaultMiniVerticalOffset),
                    int(window::kDefaultMiniVerticalOffset));
    resize(window::kFullWindowSize);
}

MainWindow::~MainWindow() = default;

void MainWindow::bindSettings() {
    bindWindowTitle(this, QStringLiteral("prefWindowTitleName"));
    bindLabel(m_ui->nameOfCameraFound, QStringLiteral("prefNameOfCameraFound"));
    bindLabel(m_ui->newImageCountString, QStringLiteral("prefNewImageCountString"));
    bindLabel(m_ui->lable1String, QStringLiteral("prefLable1String"));
    bindLabel(m_ui->longInfoString, QStringLiteral("prefLongInfoString"));
    bindLabel(m_ui->modelOfCurrentConnectedCamera,
              QStringLiteral("prefModelOfCurrentConnectedCamera"));
    bindSetting(this, QStringLiteral("prefTextViewString1"),
                [this](const QVariant& v) { m_ui->textView1->setPlainText(v.toString()); });
    bindSetting(this, QStringLiteral("prefSaveFolderPath"), [this](const QVariant& v) {
        m_ui->saveFolderPath->setText(QDir::toNativeSeparators(v.toString()));
    });
    bindSetting(this, QStringLiteral("prefCameraConnected"), [this](const QVariant& v) {
        const bool connected = v.toBool();
        m_ui->cameraConnectedLight->setImageName(connected ? QStringLiteral("NSStatusAvailable")
                                                           : QStringLiteral("NSStatusNone"));
        m_ui->cameraConnectedText->setText(connected ? tr("Connected") : tr("No camera connected"));
        if (connected && m_liveView)
            m_liveView->cameraConnected();
    });
    bindSetting(this, QStringLiteral("prefNikonLookupArray"),
                [this](const QVariant& v) { fillModuleTable(v.toList()); });
    bindSetting(this, kMiniSizes, [this](const QVariant& v) { fillMiniSizes(v.toList()); });
    // Bound labels change after the settings do: the state written follows them.
    connect(&defaults(), &UserDefaults::valueChanged, this, [this] { scheduleStateWrite(); });
}

void MainWindow::connectControls() {
    connect(m_ui->dbug, &QAbstractButton::clicked, this,
            [this] { ibDisclosureButton(m_ui->dbug, QApplication::keyboardModifiers()); });
    connect(m_ui->segmentedControl1, &QButtonGroup::buttonClicked, this,
            [this](QAbstractButton* button) {
                m_popoverAnchor = button;
                m_delegate.ibHandleSegmentedControl1(tagOf(button));
            });
    connect(m_ui->segmentedControl2, &QButtonGroup::buttonClicked, this,
            [this](QAbstractButton* button) {
                m_popoverAnchor = button;
                m_delegate.ibHandleSegmentedControl2(tagOf(button));
            });
    connect(m_ui->ibMiniSizePopUp, &QComboBox::activated, this, &MainWindow::ibClickSelectMiniSize);
    connect(m_ui->ibTabView, &QTabWidget::currentChanged, this, [this] {
        scheduleStateWrite();
        updateLiveViewActive();
        if (currentTabIdentifier().compare(kCameraSettings, Qt::CaseInsensitive) == 0)
            m_delegate.cameraSettingsTabSelected();
    });
}

void MainWindow::setUpModuleTable() {
    m_moduleList = new ModuleListModel(this);
    QTableView* table = m_ui->ibModuleTableView;
    table->setModel(m_moduleList);
    // Sizing columns or rows to their contents measures every row: with thousands of cameras
    // each new list would stall the window. Fixed heights, and widths the user may drag.
    table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    // One line per camera: a long module name is elided in the middle, whole in its tooltip.
    table->setWordWrap(false);
    table->setTextElideMode(Qt::ElideMiddle);
    QHeaderView* header = table->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->resizeSection(ModuleListModel::DeviceName, 170);
    header->resizeSection(ModuleListModel::ModuleName, 210);
    // Going back to the factory list is rare and drops what the user matched: kept off the
    // toolbar, in the table's context menu.
    auto* revert = new QAction(tr("Revert to Factory Module List..."), table);
    revert->setObjectName(QStringLiteral("moduleRevert"));
    revert->setIcon(themeIcon("document-revert", QStyle::SP_DialogResetButton, style()));
    connect(revert, &QAction::triggered, this, [this] { m_delegate.ibRevertModuleList(); });
    table->addAction(revert);
    table->setContextMenuPolicy(Qt::ActionsContextMenu);
    // Unsorted until a header is clicked: the list keeps the table's order.
    header->setSortIndicator(-1, Qt::AscendingOrder);
    table->setSortingEnabled(true);
}

void MainWindow::fillModuleTable(const QVariantList& entries) {
    m_moduleList->setEntries(entries);
    m_ui->ibModuleTableView->clearSelection();
}

void MainWindow::fillMiniSizes(const QVariantList& sizes) {
    QComboBox* popUp = m_ui->ibMiniSizePopUp;
    popUp->clear();
    for (const QVariant& size : sizes)
        popUp->addItem(size.toMap().value(QStringLiteral("displayname")).toString());
    setupMiniPanelSizeStuff();
}

// --- Status ---------------------------------------------------------------------------------

void MainWindow::setStatusImage(const QString& imageName) {
    m_ui->statusLight->setImageName(imageName);
    scheduleStateWrite();
}

void MainWindow::statusTextChanged(const QString&, const QString&) {
    // The labels follow the settings themselves.
    scheduleStateWrite();
}

void MainWindow::setBusy(bool busy) {
    m_ui->ibProgressIndicator1->setBusy(busy);
}

// --- Sheets -----------------------------------------------------------------------------------

void MainWindow::beginSheet(const Alert& alert, std::function<void(long)> completion) {
    beginAlertSheet(this, alert, std::move(completion));
}

void MainWindow::showInfoWindow(std::function<void(long)> completion) {
    zarv::beginSheet(this, m_infoWindow, std::move(completion));
}

void MainWindow::showConfirmQuit(std::function<void(long)> completion) {
    zarv::beginSheet(this, m_confirmQuit, std::move(completion));
}

void MainWindow::runOpenPanel(const OpenPanel& panel,
                              std::function<void(long, const QStringList&)> completion) {
    auto* dialog = new QFileDialog(this, panel.message);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode(panel.allowsMultipleSelection ? QFileDialog::ExistingFiles
                                                      : QFileDialog::ExistingFile);
    if (!panel.allowedFileTypes.isEmpty()) {
        QStringList patterns;
        for (const QString& type : panel.allowedFileTypes)
            patterns << QStringLiteral("*.") + type;
        dialog->setNameFilter(patterns.join(u' '));
    }
    if (!panel.prompt.isEmpty())
        dialog->setLabelText(QFileDialog::Accept, panel.prompt);
    // Exactly one answer: finished() when the dialog ends, "cancelled" should it be destroyed
    // unanswered (its window closed).
    auto answer =
        std::make_shared<std::function<void(long, const QStringList&)>>(std::move(completion));
    auto once = [answer](long response, const QStringList& paths) {
        if (auto done = std::exchange(*answer, nullptr))
            done(response, paths);
    };
    connect(dialog, &QDialog::finished, this, [dialog, once](int result) {
        if (result == QDialog::Accepted)
            once(kModalResponseOK, dialog->selectedFiles());
        else
            once(kModalResponseCancel, {});
    });
    connect(dialog, &QObject::destroyed, this, [once] { once(kModalResponseCancel, {}); });
    dialog->open();
}

void MainWindow::showPopover(PopoverKind kind, int offset) {
    if (kind == PopoverKind::MatchList) {
        Popover::showAt(new MyPopoverViewController(this), m_popoverAnchor, offset);
        return;
    }
    auto* settings = new MyPopoverForCameraSettingViewController(m_delegate.cameraControls(), this);
    settings->ibAdjustForView(kind == PopoverKind::CameraSettingsLoad ? QStringLiteral("loadview")
                                                                      : QStringLiteral("saveview"));
    Popover::showAt(settings, m_popoverAnchor, offset);
}

void MainWindow::cameraControlsNextPage() {
    m_cameraControls->ibShowNextPageSettings();
}

void MainWindow::showMatchWindow(const std::shared_ptr<ModuleMatchTask>& task) {
    if (m_matchWindow && m_matchWindow->task() == task && m_matchWindow->isVisible()) {
        m_matchWindow->raise();
        return;
    }
    // A window left from an earlier search shows a task nobody runs any more.
    if (m_matchWindow)
        m_matchWindow->deleteLater();
    auto* window = new ZarvNikonMatchModuleWindowController(task, this);
    m_matchWindow = window;
    // Held as a plain QObject: the completion also runs while the window is being destroyed,
    // when it is no longer a match window.
    zarv::beginSheet(this, window, [window = QPointer<QObject>(window)](long code) {
        qCInfo(zarvUi).noquote() << QStringLiteral("Module match window ended with %1").arg(code);
        if (window)
            window->deleteLater();
    });
}

// --- Start-up and focus -----------------------------------------------------------------------

void MainWindow::showMiniPanelAtStart() {
    ibDisclosureButton(nullptr, Qt::NoModifier);
}

void MainWindow::orderFrontAtStatusLevel(bool activate) {
    m_statusLevel = true;
    applyWindowFlags();
    show();
    raise();
    if (activate)
        activateWindow();
    const QStringList identifiers = tabIdentifiers();
    for (qsizetype i = 0; i < identifiers.size(); ++i)
        qCInfo(zarvUi).noquote() << QStringLiteral("item[%1] = %2").arg(i).arg(identifiers.at(i));
    selectIntialTabviewItem();
    m_ui->ibModuleTableView->clearSelection();
    // Benchmarks and demonstrations start on the full window, where a person would click.
    if (qEnvironmentVariableIntValue("ZARV_UI_FULL_WINDOW") == 1 && m_mini)
        ibTestButton1();
}

void MainWindow::resignMainWindow() {
    // X11 has no way to hand the focus back to the window that had it; the most a window can
    // do is drop its own focus widget and, as the mini panel, refuse the focus from now on.
    if (QWidget* focused = focusWidget())
        focused->clearFocus();
}

void MainWindow::bringToFront() {
    show();
    raise();
    activateWindow();
}

// --- The two forms ------------------------------------------------------------------------------

void MainWindow::applyWindowFlags() {
    Qt::WindowFlags flags = windowFlags();
    flags.setFlag(Qt::FramelessWindowHint, m_titleBarRemoved);
    flags.setFlag(Qt::WindowDoesNotAcceptFocus, m_mini);
    flags.setFlag(Qt::WindowStaysOnTopHint, m_statusLevel);
    if (flags == windowFlags())
        return;
    // Changing the flags hides a shown window.
    const bool wasVisible = isVisible();
    setWindowFlags(flags);
    if (wasVisible)
        show();
}

void MainWindow::placeWindow(const QRect& current, const QSize& size) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    const bool bottomRight = window::wantsBottomRight(
        defaults().boolForKey(QStringLiteral("prefForceWindowBottomRight")),
        defaults().stringForKey(QStringLiteral("prefForceWindowPosition")));
    // The rule places the whole window, decorations included; the size asked for is the
    // content's, as the window manager draws the frame.
    const QSize decorations = frameGeometry().size() - geometry().size();
    const QRect area = screen ? screen->availableGeometry() : QRect();
    QRect frame = window::placeWindow(current, size + decorations, area, bottomRight && screen);
    // Growing from a panel near the top of the screen would put the title bar out of reach:
    // the window moves down as far as needed.
    if (screen && frame.top() < area.top())
        frame.moveTop(area.top());
    move(frame.topLeft());
    resize(size);
}

void MainWindow::setFormControls(bool mini, int miniHeight, int offset) {
    m_mini = mini;
    const QMargins margins = mini ? kMiniMargins : kFullMargins;
    m_ui->contentLayout->setContentsMargins(margins);
    // The strip fills the mini panel; the full window's is taller by the offset, so the two
    // forms differ by it whatever the form was before.
    const int strip = miniHeight - kMiniMargins.top() - kMiniMargins.bottom();
    m_ui->bottomview->setFixedHeight(mini ? strip : strip + offset);
    m_ui->detailsRow->setVisible(!mini || strip >= kDetailsRowMinHeight);
    m_ui->ibTabView->setVisible(!mini);
    // The indicator is square in either form: its width is its height.
    QWidget* indicator = m_ui->ibProgressIndicator1;
    const int side = indicator->sizeHint().height();
    indicator->setFixedSize(side, side);
    m_ui->dbug->setChecked(!mini);
    m_ui->dbug->setArrowType(mini ? Qt::RightArrow : Qt::DownArrow);
}

void MainWindow::updateLiveViewActive() {
    if (!m_liveView)
        return;
    const bool onTab = !m_mini && currentTabIdentifier() == kLiveView;
    m_liveView->setActive(onTab && isVisible() && !isMinimized());
    if (onTab && !m_grownForLiveView && isVisible()) {
        m_grownForLiveView = true;
        placeWindow(frameGeometry(), size().expandedTo(window::kLiveViewWindowSize));
    } else if (!onTab && !m_mini && m_grownForLiveView) {
        m_grownForLiveView = false;
        placeWindow(frameGeometry(), window::kFullWindowSize);
    }
}

void MainWindow::ibTestButton1() {
    // The corner kept is the one before the layout reacts to the change of form.
    const QRect current = frameGeometry();
    const auto info = window::getMiniPanelInfo(defaults().arrayForKey(kMiniSizes),
                                               defaults().stringForKey(kSelectedMiniSize));
    // Only the mini panel goes without a title bar: a full window could not be moved or closed.
    m_titleBarRemoved = false;
    setFormControls(false, window::miniPanelSize(info).height(),
                    int(window::getMiniVerticalOffset(info)));
    applyWindowFlags();
    placeWindow(current, window::kFullWindowSize);
    m_grownForLiveView = false;
    updateLiveViewActive();
    scheduleStateWrite();
}

void MainWindow::ibTestButton2() {
    const QRect current = frameGeometry();
    const QString selected = defaults().stringForKey(kSelectedMiniSize);
    const auto info = window::getMiniPanelInfo(defaults().arrayForKey(kMiniSizes), selected);
    const QSize size = window::miniPanelSize(info);
    setFormControls(true, size.height(), int(window::getMiniVerticalOffset(info)));
    if (window::removesTitleBar(selected))
        m_titleBarRemoved = true;
    applyWindowFlags();
    placeWindow(current, size);
    m_grownForLiveView = false;
    updateLiveViewActive();
    scheduleStateWrite();
}

void MainWindow::ibDisclosureButton(QAbstractButton* sender, Qt::KeyboardModifiers modifiers) {
    m_controlKeyPressed = window::anyCommandModifier(modifiers);
    if (sender && sender->isChecked()) {
        if (m_controlKeyPressed) {
            selectIntialTabviewItem();
            ibTestButton1();
        } else {
            beep();
            Log::inside(zarvUi, kLogOwner, "ibDisclosureButton:", QStringLiteral("Not allowed..."));
            sender->setChecked(false);
            m_titleBarRemoved = !m_titleBarRemoved;
            applyWindowFlags();
        }
    } else {
        ibTestButton2();
        resignMainWindow();
    }
    QPointer<QAbstractButton> button(sender);
    const bool hadSender = sender != nullptr;
    QTimer::singleShot(600, this, [this, button, hadSender] {
        if (hadSender && !button)
            return; // the button is gone
        fixUpDisclosureButton(button);
    });
}

void MainWindow::fixUpDisclosureButton(QAbstractButton* sender) {
    QWidget* view = sender;
    if (!view)
        view = findSubviewWithIdentifier(m_ui->bottomview, QStringLiteral("dbug"));
    if (!view)
        view = findSubviewWithIdentifier(this, QStringLiteral("dbug"));
    // A button pushed out above its view is brought back in.
    if (qobject_cast<QAbstractButton*>(view) && view->y() < 0)
        view->move(view->x(), 4);
}

void MainWindow::windowShouldZoom() {
    windowShouldZoom(height());
}

void MainWindow::windowShouldZoom(int height) {
    const bool full = window::zoomMakesFullWindow(height);
    QTimer::singleShot(100, this, [this, full] {
        if (full)
            ibTestButton1();
        else
            ibTestButton2();
    });
}

// --- Mini-panel sizes ---------------------------------------------------------------------------

void MainWindow::setupMiniPanelSizeStuff() {
    const int index = window::miniPanelSizeIndex(defaults().arrayForKey(kMiniSizes),
                                                 defaults().stringForKey(kSelectedMiniSize));
    m_ui->ibMiniSizePopUp->setCurrentIndex(index);
}

void MainWindow::ibClickSelectMiniSize(int index) {
    const QVariantList sizes = defaults().arrayForKey(kMiniSizes);
    if (index < 0 || index >= sizes.size())
        return;
    defaults().setObject(kSelectedMiniSize,
                         sizes.at(index).toMap().value(QStringLiteral("somevalue")).toString());
}

// --- Tabs
// -----------------------------------------------------------------------------------------

QStringList MainWindow::tabIdentifiers() const {
    QStringList identifiers;
    for (int i = 0; i < m_ui->ibTabView->count(); ++i)
        identifiers << m_ui->ibTabView->widget(i)->objectName();
    return identifiers;
}

QString MainWindow::currentTabIdentifier() const {
    const QWidget* page = m_ui->ibTabView->currentWidget();
    return page ? page->objectName() : QString();
}

bool MainWindow::selectTab(const QString& identifier) {
    const qsizetype index = tabIdentifiers().indexOf(identifier);
    if (index < 0)
        return false;
    m_ui->ibTabView->setCurrentIndex(int(index));
    return true;
}

void MainWindow::selectIntialTabviewItem() {
    const QString identifier = window::initialTabIdentifier(
        defaults().stringForKey(QStringLiteral("prefDefaultMainTabviewItemIdentifier")));
    if (!selectTab(identifier))
        Log::inside(
            zarvUi, kLogOwner, "selectIntialTabviewItem",
            QStringLiteral("FAILED indexOfTabViewItemWithIdentifier:[%1]...").arg(identifier));
}

// --- Window events ------------------------------------------------------------------------------

bool MainWindow::event(QEvent* event) {
    switch (event->type()) {
    case QEvent::Paint:
        if (!m_painted) {
            m_painted = true;
            scheduleStateWrite();
        }
        break;
    case QEvent::WindowTitleChange:
        scheduleStateWrite();
        break;
    case QEvent::Show:
    case QEvent::Hide:
        QTimer::singleShot(0, this, [this] { updateLiveViewActive(); });
        break;
    case QEvent::WindowActivate:
        // The mini panel gives the focus back soon after it gets it; the full window keeps it
        // for its controls.
        if (m_mini)
            QTimer::singleShot(200, this, [this] {
                if (m_mini)
                    resignMainWindow();
            });
        break;
    default:
        break;
    }
    return QWidget::event(event);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    // A panel without a title bar is moved by dragging its strip.
    if (watched == m_ui->bottomview && event->type() == QEvent::MouseButtonPress &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton && m_titleBarRemoved &&
        windowHandle())
        return windowHandle()->startSystemMove();
    return QWidget::eventFilter(watched, event);
}

void MainWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange)
        updateLiveViewActive();
    if (event->type() == QEvent::WindowStateChange && windowState().testFlag(Qt::WindowMaximized)) {
        // The zoom button switches forms instead of maximising. What counts is the height the
        // window had: the platform may have made it the screen's already.
        const QRect before = normalGeometry().isValid() ? normalGeometry() : geometry();
        setWindowState(windowState() & ~Qt::WindowMaximized);
        setGeometry(before);
        windowShouldZoom(before.height());
    }
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // Closing asks first.
    event->ignore();
    QTimer::singleShot(100, this, [this] { m_delegate.ibConfirmQuit(); });
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    scheduleStateWrite();
}

// --- State for tests
// ------------------------------------------------------------------------------

void MainWindow::scheduleStateWrite() {
    if (!m_stateFile.isEmpty() && !m_stateTimer.isActive())
        m_stateTimer.start();
}

void MainWindow::writeState() {
    const QJsonObject state{
        {QStringLiteral("cameraStatus"), m_ui->nameOfCameraFound->text()},
        {QStringLiteral("statusLight"), m_ui->statusLight->imageName()},
        {QStringLiteral("form"), m_mini ? QStringLiteral("mini") : QStringLiteral("full")},
        {QStringLiteral("tab"), currentTabIdentifier()},
        {QStringLiteral("title"), windowTitle()},
        {QStringLiteral("width"), width()},
        {QStringLiteral("height"), height()},
        {QStringLiteral("painted"), m_painted},
        {QStringLiteral("liveView"), m_liveView->state()},
    };
    QSaveFile file(m_stateFile);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(QJsonDocument(state).toJson(QJsonDocument::Compact)) < 0 || !file.commit())
        qCWarning(zarvUi).noquote() << QStringLiteral("Cannot write the window state to %1: %2")
                                           .arg(m_stateFile, file.errorString());
}

} // namespace zarv
