#include "ScreenshotTour.h"
#include "platform/Log.h"

#include "LookoutWindow.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QFrame>

namespace zarv::lookout {

namespace {

constexpr qint64 kSessionQuietMs = 2000;
constexpr qint64 kCaptureWaitMs = 5000;
constexpr qint64 kNefWaitMs = 60000;
constexpr qint64 kGiveUpMs = 180000;

bool isRaw(const QString& path) {
    const QString suffix = QFileInfo(path).suffix().toLower();
    return suffix == QLatin1String("nef") || suffix == QLatin1String("nrw");
}

} // namespace

ScreenshotTour::ScreenshotTour(LookoutWindow& window, const QString& folder)
    : QObject(&window), m_window(window), m_folder(folder) {
    QDir().mkpath(folder);
    connect(window.view(), &PictureView::painted, this, [this] { ++m_paints; });
    addSteps();
    m_started.start();
    m_poll.setInterval(100);
    connect(&m_poll, &QTimer::timeout, this, &ScreenshotTour::poll);
    m_poll.start();
}

void ScreenshotTour::addSteps() {
    PictureView* view = m_window.view();
    // The newest picture that is not a raw file, once the session has stopped growing.
    m_steps.push_back({[this] { return sessionSettled(); },
                       [this] {
                           const Session& s = m_window.session();
                           for (int i = s.count() - 1; i >= 0; --i)
                               if (!isRaw(s.at(i))) {
                                   if (i == s.count() - 1)
                                       m_window.showNewest();
                                   else
                                       m_window.showIndex(i);
                                   return;
                               }
                       }});
    m_steps.push_back({[this] { return settled(false); },
                       [this, view] {
                           shoot(QStringLiteral("lookout-fitted.png"));
                           // The sample's focus target: the lower half of its star and the fine
                           // print beneath, as a photographer checks focus after a shot.
                           const QSize full = view->shownPicture()->decoded.fullSize;
                           view->centreOn(QPointF(full.width() * 0.29, full.height() * 0.6875));
                       }});
    m_steps.push_back({[this] { return settled(true); },
                       [this, view] {
                           shoot(QStringLiteral("lookout-100.png"));
                           view->zoomTo(PictureView::Zoom::Fit, {});
                           m_window.setClipping(true);
                       }});
    m_steps.push_back({[this] { return settled(false, true); },
                       [this] {
                           shoot(QStringLiteral("lookout-clipping.png"));
                           m_window.setClipping(false);
                           m_waitingForNef.start();
                           qCInfo(zarvLookout, "Screenshot tour: looking for an NEF");
                       }});
    m_steps.push_back({[this] { return nefShown(); }, [] {}});
    m_steps.push_back(
        {[this] { return !isRaw(m_window.session().currentPath()) || settled(false); },
         [this] {
             if (isRaw(m_window.session().currentPath())) {
                 shoot(QStringLiteral("lookout-nef.png"));
             } else {
                 qCWarning(zarvLookout, "Screenshot tour: no NEF arrived, lookout-nef.png not "
                                        "made");
                 m_failed = true;
             }
             finish();
         }});
}

void ScreenshotTour::poll() {
    if (m_steps.empty())
        return;
    if (m_started.elapsed() > kGiveUpMs) {
        qCWarning(zarvLookout,
                  "Screenshot tour: given up after three minutes, %d picture(s) in the session",
                  m_window.session().count());
        m_steps.clear();
        m_failed = true;
        finish();
        return;
    }
    if (!m_steps.front().ready())
        return;
    const Step step = m_steps.front();
    m_steps.pop_front();
    step.act();
}

void ScreenshotTour::shoot(const QString& name) {
    const QString file = m_folder + QLatin1Char('/') + name;
    if (m_window.grab().save(file)) {
        qCInfo(zarvLookout, "Screenshot %s", qPrintable(file));
    } else {
        qCWarning(zarvLookout, "Screenshot %s could not be written", qPrintable(file));
        m_failed = true;
    }
}

void ScreenshotTour::finish() {
    m_poll.stop();
    qCInfo(zarvLookout, "Screenshots written to %s", qPrintable(m_folder));
    QApplication::exit(m_failed ? 1 : 0);
}

bool ScreenshotTour::settled(bool full, bool clipping) {
    const PictureView* view = m_window.view();
    const auto s = view->shownPicture();
    const bool ready = s && s->path == m_window.session().currentPath() && s->analysed &&
                       s->full == full && (view->zoom() == PictureView::Zoom::Actual) == full &&
                       (!clipping || !s->clipping.isNull());
    if (!ready) {
        m_paintsBefore = m_paints;
        return false;
    }
    return m_paints > m_paintsBefore;
}

bool ScreenshotTour::sessionSettled() {
    const int count = m_window.session().count();
    if (count != m_lastCount) {
        m_lastCount = count;
        m_sameSince.start();
    }
    // With the capture program up, as a photographer sees the window, unless it never comes.
    const bool captureUp = !m_window.banner()->isVisible() || m_started.elapsed() > kCaptureWaitMs;
    return count > 0 && m_sameSince.elapsed() >= kSessionQuietMs &&
           m_window.loader().thumbnailsPending() == 0 && captureUp;
}

bool ScreenshotTour::nefShown() {
    const Session& s = m_window.session();
    for (int i = s.count() - 1; i >= 0; --i)
        if (isRaw(s.at(i))) {
            if (s.current() != i)
                m_window.showIndex(i);
            return true;
        }
    return m_waitingForNef.elapsed() > kNefWaitMs;
}

} // namespace zarv::lookout
