#include "LookoutWindow.h"

#include "CaptureLink.h"
#include "ScreenshotTour.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QStatusBar>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <cstdio>

namespace zarv::lookout {

namespace {
constexpr int kStateIntervalMs = 50;
constexpr size_t kPaintsKept = 2000;

QToolButton* toolButton(const QString& text, const QString& name, const QString& tip) {
    auto* b = new QToolButton;
    b->setText(text);
    b->setObjectName(name);
    b->setToolTip(tip);
    b->setToolButtonStyle(Qt::ToolButtonTextOnly);
    b->setFocusPolicy(Qt::NoFocus);
    return b;
}
} // namespace

LookoutWindow::LookoutWindow(CaptureLink& link, QWidget* parent)
    : QMainWindow(parent), m_link(link) {
    setObjectName(QStringLiteral("lookoutWindow"));
    setWindowTitle(QStringLiteral("ZarvLookout"));
    setStyleSheet(QStringLiteral(
        "QMainWindow, #central { background: #1c1c1e; }"
        "QLabel { color: #dcdcdc; }"
        "QToolBar { background: #2a2a2d; border: none; spacing: 6px; padding: 4px; }"
        "QToolButton { color: #e8e8e8; background: #3a3a3e; border: 1px solid #4a4a4e;"
        "  border-radius: 4px; padding: 4px 12px; }"
        "QToolButton:checked { background: #6a5200; border-color: #ffc400; }"
        "QToolButton:disabled { color: #777; }"
        "#banner { background: #4a3a10; }"
        "#banner QLabel { color: #ffe7a8; }"
        "#banner QPushButton { padding: 4px 14px; }"
        "QToolBar::separator { background: #4a4a4e; width: 1px; margin: 4px 8px; }"
        "#infoBar { background: #222224; }"
        "QScrollBar:horizontal { background: #262628; height: 10px; margin: 0; }"
        "QScrollBar::handle:horizontal { background: #4a4a4e; border-radius: 4px;"
        "  min-width: 40px; margin: 2px; }"
        "QScrollBar::add-line:horizontal, QScrollBar::sub-line:horizontal { width: 0; }"
        "QScrollBar::add-page:horizontal, QScrollBar::sub-page:horizontal { background: none; }"));

    buildToolBar();
    buildCentral();
    connectWidgets();
    connectSources();
    m_view->setMessage(QStringLiteral("Waiting for pictures\u2026\nEach picture ZarvNikonCapture "
                                      "saves is shown here the moment it lands."));
    updateBanner();
    updateLines();
    resize(1280, 860);

    startStateFile();
}

void LookoutWindow::buildToolBar() {
    auto* bar = new QToolBar(QStringLiteral("Tools"));
    bar->setObjectName(QStringLiteral("tools"));
    bar->setMovable(false);
    bar->setFloatable(false);
    bar->toggleViewAction()->setVisible(false);
    m_takeButton = toolButton(QStringLiteral("Take Picture"), QStringLiteral("takePicture"),
                              QStringLiteral("Ask ZarvNikonCapture for a shot"));
    m_zoomButton = toolButton(QStringLiteral("100 %"), QStringLiteral("zoom"),
                              QStringLiteral("Fit / 100 % (Space)"));
    m_zoomButton->setCheckable(true);
    m_clippingButton = toolButton(QStringLiteral("Clipping"), QStringLiteral("clipping"),
                                  QStringLiteral("Mark clipped highlights (red) and shadows "
                                                 "(blue) (C)"));
    m_clippingButton->setCheckable(true);
    bar->addWidget(m_takeButton);
    bar->addSeparator();
    bar->addWidget(m_zoomButton);
    bar->addWidget(m_clippingButton);
    auto* spacer = new QWidget;
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    bar->addWidget(spacer);
    m_cameraLine = new QLabel;
    m_cameraLine->setObjectName(QStringLiteral("cameraLine"));
    bar->addWidget(m_cameraLine);
    addToolBar(Qt::TopToolBarArea, bar);
}

void LookoutWindow::buildCentral() {
    auto* central = new QWidget;
    central->setObjectName(QStringLiteral("central"));
    auto* column = new QVBoxLayout(central);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    m_banner = new QFrame;
    m_banner->setObjectName(QStringLiteral("banner"));
    auto* bannerRow = new QHBoxLayout(m_banner);
    bannerRow->setContentsMargins(12, 6, 12, 6);
    m_bannerText = new QLabel;
    m_bannerText->setObjectName(QStringLiteral("bannerText"));
    m_bannerText->setWordWrap(true);
    m_startButton = new QPushButton(QStringLiteral("Start ZarvNikonCapture"));
    m_startButton->setObjectName(QStringLiteral("startCapture"));
    m_startButton->setFocusPolicy(Qt::NoFocus);
    bannerRow->addWidget(m_bannerText, 1);
    bannerRow->addWidget(m_startButton);
    column->addWidget(m_banner);

    m_view = new PictureView;
    column->addWidget(m_view, 1);

    auto* info = new QWidget;
    info->setObjectName(QStringLiteral("infoBar"));
    auto* infoRow = new QHBoxLayout(info);
    infoRow->setContentsMargins(12, 6, 12, 6);
    m_nameLine = new QLabel;
    m_nameLine->setObjectName(QStringLiteral("nameLine"));
    m_shootingLine = new QLabel;
    m_shootingLine->setObjectName(QStringLiteral("shootingLine"));
    m_shootingLine->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_shootingLine->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QFont strong = m_shootingLine->font();
    strong.setPointSizeF(strong.pointSizeF() * 1.1);
    m_shootingLine->setFont(strong);
    // A narrow window cuts the lines short rather than refusing to be narrow.
    m_nameLine->setMinimumWidth(1);
    m_shootingLine->setMinimumWidth(1);
    infoRow->addWidget(m_nameLine);
    infoRow->addStretch(1);
    infoRow->addWidget(m_shootingLine);
    column->addWidget(info);

    m_filmstrip = new Filmstrip;
    m_model = new FilmstripModel(m_session, m_loader, this);
    m_filmstrip->setModel(m_model);
    column->addWidget(m_filmstrip);
    setCentralWidget(central);
    statusBar()->hide();
}

void LookoutWindow::connectWidgets() {
    connect(m_takeButton, &QToolButton::clicked, this, &LookoutWindow::takePicture);
    connect(m_zoomButton, &QToolButton::clicked, this, [this] { m_view->toggleZoom(); });
    connect(m_clippingButton, &QToolButton::toggled, this, &LookoutWindow::setClipping);
    connect(m_startButton, &QPushButton::clicked, this, [this] {
        m_startProblem = m_link.startCapture();
        m_starting = m_startProblem.isEmpty();
        updateBanner();
        if (m_starting) // a program that never claims its name is said so after a while
            QTimer::singleShot(15000, this, [this] {
                m_starting = false;
                updateBanner();
            });
    });
    connect(m_filmstrip, &QListView::clicked, this,
            [this](const QModelIndex& index) { showIndex(index.row()); });
    connect(m_view, &PictureView::zoomChanged, this, &LookoutWindow::zoomChanged);
    connect(m_view, &PictureView::painted, this, &LookoutWindow::recordPainted);
    connect(m_view, &PictureView::boxChanged, this, [this] { m_boxSettle.start(); });
    // A resize settles before the picture is made again for the new size.
    m_boxSettle.setSingleShot(true);
    m_boxSettle.setInterval(120);
    connect(&m_boxSettle, &QTimer::timeout, this, [this] {
        if (m_view->deviceBox() != m_loader.viewBox()) {
            m_loader.setViewBox(m_view->deviceBox());
            if (m_view->zoom() == PictureView::Zoom::Fit)
                showCurrent();
        }
    });
}

// The loader's results and what the capture program says.
void LookoutWindow::connectSources() {
    connect(&m_loader, &Loader::shown, this, &LookoutWindow::received);
    connect(&m_loader, &Loader::thumbnailReady, this, [this](const QString& path) {
        m_model->thumbnailChanged(path);
        scheduleState();
    });
    connect(&m_link, &CaptureLink::picturesAnnounced, this, &LookoutWindow::addPictures);
    connect(&m_link, &CaptureLink::captureRunningChanged, this, [this](bool running) {
        if (running)
            m_starting = false;
        updateBanner();
    });
    connect(&m_link, &CaptureLink::cameraStatus, this, [this](bool connected, const QString& name) {
        m_cameraLine->setText(connected ? QStringLiteral("\u25cf %1").arg(name)
                                        : QStringLiteral("No camera connected"));
        scheduleState();
    });
}

void LookoutWindow::startStateFile() {
    m_stateFile = qEnvironmentVariable("ZARV_LOOKOUT_STATE_FILE");
    m_stateWriter.setMaxThreadCount(1);
    m_stateTimer.setSingleShot(true);
    m_stateTimer.setInterval(kStateIntervalMs);
    connect(&m_stateTimer, &QTimer::timeout, this, &LookoutWindow::writeState);
    if (!m_stateFile.isEmpty()) {
        // How long the event loop went without turning: no stall of the window may pass 16 ms.
        m_heartbeat.setInterval(2);
        m_heartbeat.setTimerType(Qt::PreciseTimer);
        connect(&m_heartbeat, &QTimer::timeout, this, [this] {
            const qint64 gap = m_sinceBeat.restart();
            if (m_measuringStalls && gap > m_longestStallMs) {
                m_longestStallMs = gap;
                scheduleState();
            }
        });
        m_sinceBeat.start();
        m_heartbeat.start();
    }
}

LookoutWindow::~LookoutWindow() {
    if (!m_stateFile.isEmpty())
        writeState();
    m_stateWriter.waitForDone();
}

void LookoutWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    m_loader.setViewBox(m_view->deviceBox());
    // Stalls count once the window is up and has settled.
    QTimer::singleShot(500, this, [this] {
        m_measuringStalls = true;
        m_sinceBeat.restart();
    });
    scheduleState();
}

void LookoutWindow::addPictures(const QStringList& paths, bool hotFolder) {
    const int before = m_session.current();
    const QString shownPath = m_session.currentPath();
    const int added = m_model->announce(paths, hotFolder);
    if (added == 0)
        return;
    // The whole session's thumbnails, newest first, behind what the filmstrip shows.
    QStringList all;
    const int n = m_session.count();
    for (int i = std::max(0, n - 2000); i < n; ++i)
        all.append(m_session.at(i));
    m_loader.queueThumbnails(all);
    if (m_session.currentPath() != shownPath || before < 0)
        showCurrent();
    else
        syncFilmstrip();
    updateLines();
    scheduleState();
}

void LookoutWindow::showIndex(int index) {
    m_session.select(index);
    showCurrent();
}

void LookoutWindow::showNewest() {
    m_session.last();
    showCurrent();
}

void LookoutWindow::showCurrent() {
    const QString path = m_session.currentPath();
    syncFilmstrip();
    updateLines();
    scheduleState();
    if (path.isEmpty())
        return;
    const bool full = m_view->zoom() == PictureView::Zoom::Actual;
    if (full) {
        // The fitted picture at once, the full-size one when it is ready.
        if (const auto fitted = m_loader.cached(path, false))
            m_view->setShown(fitted);
    }
    m_loader.request(path, full);
    const int i = m_session.current();
    if (i + 1 < m_session.count())
        m_loader.prefetch(m_session.at(i + 1));
    if (i > 0)
        m_loader.prefetch(m_session.at(i - 1));
}

void LookoutWindow::received(std::shared_ptr<const Shown> shown) {
    if (shown->path != m_session.currentPath())
        return;
    // A stand-in never replaces the picture itself.
    if (const auto onScreen = m_view->shownPicture();
        shown->decoded.quick && onScreen && onScreen->path == shown->path &&
        onScreen->full == shown->full && !onScreen->decoded.quick)
        return;
    const bool fullWanted = m_view->zoom() == PictureView::Zoom::Actual;
    if (shown->full != fullWanted && !(fullWanted && !shown->decoded.error.isEmpty()))
        return;
    if (fullWanted && shown->full && !shown->decoded.error.isEmpty()) {
        // Too large for 100 %: stay fitted and say so.
        m_view->zoomTo(PictureView::Zoom::Fit, {});
        if (const auto fitted = m_loader.cached(shown->path, false))
            m_view->setShown(fitted);
        m_nameLine->setText(m_nameLine->text() + QStringLiteral("  \u2014  ") +
                            shown->decoded.error);
        return;
    }
    m_view->setShown(shown);
    updateLines();
    scheduleState();
}

void LookoutWindow::updateLines() {
    const int n = m_session.count();
    const QString path = m_session.currentPath();
    if (path.isEmpty()) {
        m_nameLine->setText(QStringLiteral("No pictures yet"));
        m_shootingLine->clear();
        return;
    }
    QString name = QStringLiteral("%1   %2 / %3")
                       .arg(QFileInfo(path).fileName())
                       .arg(m_session.current() + 1)
                       .arg(n);
    if (!m_session.following())
        name += QStringLiteral("   (End: newest)");
    const auto shown = m_view->shownPicture();
    if (shown && shown->path == path && shown->decoded.preview)
        name += QStringLiteral("   embedded preview %1 \u00d7 %2")
                    .arg(shown->decoded.fullSize.width())
                    .arg(shown->decoded.fullSize.height());
    m_nameLine->setText(name);
    m_shootingLine->setText(shown && shown->path == path ? formatShootingLine(shown->decoded.data)
                                                         : QString());
}

void LookoutWindow::updateBanner() {
    const bool running = m_link.captureRunning();
    m_takeButton->setEnabled(running);
    if (!m_link.busConnected()) {
        m_bannerText->setText(QStringLiteral("No D-Bus session bus: ZarvLookout cannot hear of "
                                             "new pictures."));
        m_startButton->hide();
        m_banner->show();
        return;
    }
    m_banner->setVisible(!running);
    m_startButton->setVisible(!running);
    m_startButton->setEnabled(!m_starting);
    if (!m_startProblem.isEmpty())
        m_bannerText->setText(m_startProblem);
    else if (m_starting)
        m_bannerText->setText(QStringLiteral("Starting ZarvNikonCapture\u2026"));
    else
        m_bannerText->setText(QStringLiteral("ZarvNikonCapture is not running: start it to see "
                                             "each picture here as it is saved."));
    scheduleState();
}

void LookoutWindow::syncFilmstrip() {
    const int i = m_session.current();
    if (i < 0)
        return;
    const QModelIndex index = m_model->index(i);
    m_filmstrip->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
    m_filmstrip->scrollTo(index, QAbstractItemView::PositionAtCenter);
}

void LookoutWindow::zoomChanged(PictureView::Zoom zoom) {
    m_zoomButton->setChecked(zoom == PictureView::Zoom::Actual);
    const QString path = m_session.currentPath();
    if (!path.isEmpty())
        m_loader.request(path, zoom == PictureView::Zoom::Actual);
    scheduleState();
}

void LookoutWindow::setClipping(bool on) {
    if (m_clippingButton->isChecked() != on)
        m_clippingButton->setChecked(on);
    m_loader.setClipping(on);
    m_view->setClippingVisible(on);
    showCurrent();
}

void LookoutWindow::takePicture() {
    if (m_link.captureRunning())
        m_link.grab();
}

void LookoutWindow::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Left:
        m_session.previous();
        showCurrent();
        return;
    case Qt::Key_Right:
        m_session.next();
        showCurrent();
        return;
    case Qt::Key_Home:
        m_session.first();
        showCurrent();
        return;
    case Qt::Key_End:
        showNewest();
        return;
    case Qt::Key_Space:
        m_view->toggleZoom();
        return;
    case Qt::Key_C:
        setClipping(!m_clippingButton->isChecked());
        return;
    default:
        QMainWindow::keyPressEvent(event);
    }
}

void LookoutWindow::recordPainted(const QString& path, bool full, bool sharp) {
    const QString key = (full ? QStringLiteral("full:") : QStringLiteral("fit:")) + path;
    if (m_sharpPaintedKeys.contains(key) || (!sharp && m_paintedKeys.contains(key)))
        return;
    const qint64 at = QDateTime::currentMSecsSinceEpoch();
    const auto shown = m_view->shownPicture();
    const bool ours = shown && shown->path == path;
    if (sharp)
        m_sharpPaintedKeys.insert(key);
    if (m_paintedKeys.contains(key)) {
        // The stand-in was painted first: its entry, the latest of that key, gets the rest.
        for (auto p = m_paints.rbegin(); p != m_paints.rend(); ++p) {
            if (p->path == path && p->full == full) {
                p->sharpMs = at;
                p->askedMs = ours ? shown->askedAt : 0;
                p->startedMs = ours ? shown->startedAt : 0;
                p->decodedMs = ours ? shown->decodedAt : 0;
                break;
            }
        }
        scheduleState();
        return;
    }
    m_paintedKeys.insert(key);
    m_paints.push_back({path, full, at, sharp ? at : 0, !sharp, ours ? shown->askedAt : 0,
                        ours ? shown->startedAt : 0, ours ? shown->decodedAt : 0});
    if (m_paints.size() > kPaintsKept) {
        const Paint& old = m_paints.front();
        const QString oldKey =
            (old.full ? QStringLiteral("full:") : QStringLiteral("fit:")) + old.path;
        m_paintedKeys.remove(oldKey);
        m_sharpPaintedKeys.remove(oldKey);
        m_paints.pop_front();
    }
    scheduleState();
}

void LookoutWindow::scheduleState() {
    if (!m_stateFile.isEmpty() && !m_stateTimer.isActive())
        m_stateTimer.start();
}

void LookoutWindow::writeState() {
    if (m_stateFile.isEmpty())
        return;
    QJsonObject state;
    state.insert(QStringLiteral("count"), m_session.count());
    state.insert(QStringLiteral("current"), m_session.currentPath());
    state.insert(QStringLiteral("index"), m_session.current());
    state.insert(QStringLiteral("following"), m_session.following());
    state.insert(QStringLiteral("zoom"), m_view->zoom() == PictureView::Zoom::Fit
                                             ? QStringLiteral("fit")
                                             : QStringLiteral("100%"));
    state.insert(QStringLiteral("clipping"), m_view->clippingVisible());
    state.insert(QStringLiteral("message"), m_view->message());
    state.insert(QStringLiteral("name"), m_nameLine->text());
    state.insert(QStringLiteral("shootingData"), m_shootingLine->text());
    state.insert(QStringLiteral("captureRunning"), m_link.captureRunning());
    state.insert(QStringLiteral("banner"),
                 m_banner->isVisible() ? m_bannerText->text() : QString());
    state.insert(QStringLiteral("camera"), m_cameraLine->text());
    state.insert(QStringLiteral("thumbnailsReady"), m_loader.thumbnailsReady());
    state.insert(QStringLiteral("thumbnailsPending"), m_loader.thumbnailsPending());
    state.insert(QStringLiteral("longestStallMs"), m_longestStallMs);
    state.insert(QStringLiteral("size"), QJsonArray{m_view->width(), m_view->height()});
    if (const auto shown = m_view->shownPicture())
        state.insert(QStringLiteral("decodeMs"), shown->decodeMs);
    // Put together and written on a thread of its own, without waiting for the disk: the file
    // is for watching the window, which it must not slow down.
    m_stateWriter.start([state = std::move(state), paints = m_paints, file = m_stateFile] {
        QJsonObject whole = state;
        QJsonArray list;
        // "first": the first paint of the picture, a quick stand-in or not; "at": the paint of
        // the decoded picture itself, missing until then ("sharp" says which).
        for (const Paint& p : paints) {
            QJsonObject o{{QStringLiteral("path"), p.path},
                          {QStringLiteral("full"), p.full},
                          {QStringLiteral("first"), p.firstMs},
                          {QStringLiteral("sharp"), p.sharpMs > 0},
                          {QStringLiteral("quickFirst"), p.quickFirst}};
            if (p.sharpMs > 0) {
                o.insert(QStringLiteral("at"), p.sharpMs);
                o.insert(QStringLiteral("asked"), p.askedMs);
                o.insert(QStringLiteral("started"), p.startedMs);
                o.insert(QStringLiteral("decoded"), p.decodedMs);
            }
            list.append(o);
        }
        whole.insert(QStringLiteral("painted"), list);
        const QString temporary = file + QStringLiteral(".part");
        QFile out(temporary);
        if (out.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
            out.write(QJsonDocument(whole).toJson(QJsonDocument::Compact)) >= 0) {
            out.close();
            ::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(file).constData());
        }
    });
}

void LookoutWindow::startScreenshotTour(const QString& folder) {
    new ScreenshotTour(*this, folder);
}

} // namespace zarv::lookout
