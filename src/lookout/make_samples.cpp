// Writes sample pictures with real metadata for the viewer's tests, benchmark, demo and
// screenshots.

#include "lookout/SamplePictures.h"

#include <QGuiApplication>
#include <QStringList>

#include <cstdio>

using namespace zarv::lookout::samples;

int main(int argc, char** argv) {
    // Fonts need a platform; none with a screen is needed.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() < 2 || (args[0] != QLatin1String("jpeg") && args[0] != QLatin1String("nef"))) {
        std::fputs("usage: zarv-lookout-samples jpeg|nef FILE [--size WxH] [--variant N] "
                   "[--orientation N]\n",
                   stderr);
        return 2;
    }
    QSize size(6000, 4000);
    int variant = 0;
    Shot shot;
    for (qsizetype i = 2; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--size")) {
            const QStringList wh = args[i + 1].split(QLatin1Char('x'));
            size = QSize(wh.value(0).toInt(), wh.value(1).toInt());
        } else if (args[i] == QLatin1String("--variant")) {
            variant = args[i + 1].toInt();
        } else if (args[i] == QLatin1String("--orientation")) {
            shot.orientation = args[i + 1].toInt();
        }
    }
    QString error;
    const QImage image = drawScene(size, variant);
    const bool ok = args[0] == QLatin1String("jpeg")
                        ? writeJpeg(args[1], image, shot, 90, true, &error)
                        : writeNef(args[1], image, shot, &error);
    if (!ok) {
        std::fprintf(stderr, "zarv-lookout-samples: %s\n", qPrintable(error));
        return 1;
    }
    return 0;
}
