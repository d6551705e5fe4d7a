// Prints the time to build one controller memory image with 895 access keys
// and two master keys (the image builder alone, no register, no widgets).
#include "image/controller_dump.h"
#include "keys/token_code.h"

#include <QElapsedTimer>

#include <cstdio>

using namespace varek;

int main() {
    QVector<ImageKey> keys;
    for (int i = 0; i < image::kMaxAccessKeys + 2; ++i) {
        ImageKey key;
        key.status = i < 2 ? 0 : 1;
        key.tokenCode =
            TokenCodeOf(QStringLiteral("%1").arg(0x3A7C000000ll + i * 7919, 10, 16, QLatin1Char('0')));
        keys.append(key);
    }

    // Warm up, and check that the image is what it should be.
    const ControllerImage first = buildControllerImage(QStringLiteral("bench"), 5, keys);
    if (!first.built() || first.lines.size() != image::kLineCount || !first.notices.isEmpty()) {
        std::fprintf(stderr, "image_bench: unexpected image\n");
        return 1;
    }

    const int runs = 2000;
    qsizetype sink = 0;
    QElapsedTimer timer;
    timer.start();
    for (int run = 0; run < runs; ++run)
        sink += buildControllerImage(QStringLiteral("bench"), 5, keys).lines.size();
    const qint64 ns = timer.nsecsElapsed();
    std::printf("image_bench: one image with %d access keys and 2 master keys: %.1f us per build "
                "(average of %d builds, %lld lines)\n",
                image::kMaxAccessKeys, ns / 1000.0 / runs, runs, static_cast<long long>(sink));
    return 0;
}
