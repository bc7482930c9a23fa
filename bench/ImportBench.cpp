// Module list import benchmark: a table of N cameras imported through the window's import
// button and panel (offscreen), as a person would. Prints the time until the table shows all
// rows, until they are painted and sorted by product id, the longest stall of the window's
// event loop meanwhile, and, measured in the same run, the time to read the file alone and
// the ratio of the import to it.
//
// Usage: bench_import [--rows N] [--rounds R]

#include "BenchSupport.h"
#include "app/AppDelegate.h"
#include "platform/Bundle.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "ui/MainWindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QHeaderView>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdio>

using namespace zarv;

namespace {

bool spinUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

struct Round {
    qint64 shown = 0, painted = 0, sorted = 0, longestStall = 0, readAlone = 0;
};

// A table of `rows` cameras, in a property list file as an import reads it.
bool writeTable(const QString& file, int rows) {
    QVariantMap table;
    for (int i = 0; i < rows; ++i) {
        const QString camera = QStringLiteral("Camera %1").arg(i, 6, 10, QChar(u'0'));
        table.insert(camera, QVariantMap{{QStringLiteral("devicename"), camera},
                                         {QStringLiteral("modulename"),
                                          QStringLiteral("Type%1 Module.bundle").arg(i % 40)},
                                         {QStringLiteral("productid"), 0x0400 + i}});
    }
    if (!PropertyList::writeFile(file,
                                 QVariantMap{{QStringLiteral("prefNikonLookupTable"), table}})) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
        return false;
    }
    return true;
}

// One import through the button and its panel, timed into *r; false when it did not happen.
bool importOnce(MainWindow& window, const QString& file, int rows, Round* r) {
    auto* view = window.findChild<QTableView*>(QStringLiteral("ibModuleTableView"));
    auto* import = window.findChild<QAbstractButton*>(QStringLiteral("moduleImport"));
    QElapsedTimer clock;
    clock.start();
    if (!PropertyList::readFile(file).isValid())
        return false;
    r->readAlone = clock.elapsed();

    import->click();
    QFileDialog* panel = nullptr;
    if (!spinUntil([&] { return (panel = window.findChild<QFileDialog*>()) && panel->isVisible(); },
                   10000)) {
        std::fprintf(stderr, "the import panel did not open\n");
        return false;
    }
    panel->selectFile(file);
    // The window's event loop is sampled every 5 ms; the longest gap is the worst freeze.
    QElapsedTimer sinceTick;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout,
                     [&] { r->longestStall = std::max(r->longestStall, sinceTick.restart()); });
    clock.restart();
    sinceTick.start();
    ticker.start(5);
    static_cast<QDialog*>(panel)->accept();
    if (!spinUntil([&] { return view->model()->rowCount() == rows; }, 120000)) {
        std::fprintf(stderr, "the table never showed %d rows\n", rows);
        return false;
    }
    r->shown = clock.elapsed();
    view->viewport()->repaint();
    r->painted = clock.elapsed();
    QHeaderView* header = view->horizontalHeader();
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(2) + header->sectionSize(2) / 2,
                             header->height() / 2));
    r->sorted = clock.elapsed() - r->painted;
    r->longestStall = std::max(r->longestStall, sinceTick.elapsed());
    ticker.stop();
    return true;
}

void report(const std::vector<Round>& results, int rows, int rounds) {
    auto median = [&](qint64 Round::*field) {
        std::vector<qint64> v;
        for (const Round& r : results)
            v.push_back(r.*field);
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    std::printf("import of %d cameras, median of %d rounds:\n", rows, rounds);
    std::printf("  read the file alone      %6lld ms\n", (long long)median(&Round::readAlone));
    std::printf("  import until shown       %6lld ms (%.1f x reading alone)\n",
                (long long)median(&Round::shown),
                double(median(&Round::shown)) / double(qMax<qint64>(1, median(&Round::readAlone))));
    std::printf("  painted                  %6lld ms\n", (long long)median(&Round::painted));
    std::printf("  sorted by product id     %6lld ms\n", (long long)median(&Round::sorted));
    std::printf("  longest event-loop stall %6lld ms (sort included)\n",
                (long long)median(&Round::longestStall));
}

} // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int rows = qMax(1, bench::argument(args, QStringLiteral("--rows"), 10000));
    const int rounds = qMax(1, bench::argument(args, QStringLiteral("--rounds"), 5));

    QTemporaryDir work;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(work.filePath(QStringLiteral("config"))));
    UserDefaults::setStandardIdentifier(QStringLiteral("com.quellbay.bench.import"));
    Bundle::setMainBundlePath(QStringLiteral(ZARV_APP_DIR));

    const QString file = work.filePath(QStringLiteral("cameras.plist"));
    if (!writeTable(file, rows))
        return 1;

    AppDelegate::Options options;
    options.headless = false;
    options.arguments = {QStringLiteral("ZarvNikonCapture")};
    AppDelegate delegate(options);
    MainWindow window(delegate);
    delegate.setView(&window);
    window.ibTestButton1();
    window.show();
    window.selectTab(QStringLiteral("modules"));
    auto* view = window.findChild<QTableView*>(QStringLiteral("ibModuleTableView"));

    std::vector<Round> results;
    for (int round = 0; round < rounds; ++round) {
        UserDefaults::standard().removeObject(QStringLiteral("prefNikonLookupTable"));
        delegate.ibUpdateModuleList();
        spinUntil([&] { return view->model()->rowCount() < rows; }, 10000);
        Round r;
        if (!importOnce(window, file, rows, &r))
            return 1;
        results.push_back(r);
    }
    delegate.setView(nullptr);
    delegate.applicationWillTerminate();
    report(results, rows, rounds);
    return 0;
}
