// Writes the virtual camera's sample pictures: small, real JPEG files, each a different colour
// study so that they are told apart at a glance. Usage: make_samples OUTPUT_FOLDER
#include <QCoreApplication>
#include <QImage>
#include <QString>

#include <cmath>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_samples OUTPUT_FOLDER\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    const int width = 320, height = 213;
    for (int n = 1; n <= 3; ++n) {
        QImage image(width, height, QImage::Format_RGB32);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const double u = double(x) / width, v = double(y) / height;
                const double ring = 0.5 + 0.5 * std::sin(18.0 * std::hypot(u - 0.5, v - 0.5) + n);
                const int r = int(255 * (n == 1 ? u : ring));
                const int g = int(255 * (n == 2 ? v : 0.5 * ring));
                const int b = int(255 * (n == 3 ? 1.0 - u : 0.3 + 0.4 * v));
                image.setPixel(x, y, qRgb(r, g, b));
            }
        }
        const QString path = folder + QStringLiteral("/sample%1.jpg").arg(n);
        if (!image.save(path, "JPG", 85)) {
            std::fprintf(stderr, "make_samples: cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
