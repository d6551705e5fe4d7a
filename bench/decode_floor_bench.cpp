// How close the codec's decode and `varek-dbf --csv` come to the least work
// a decode of the same file can do.
//
// The floor maps the table file and walks its records with no layer between:
// every live record's text fields become a QString in the file's code page
// (trailing blanks removed), its numbers integers and its dates QDate. Beside
// it, in the same run: DbfFile::readAll over the same file, and `varek-dbf
// --csv` as a child process writing to /dev/null. Each is run a few times and
// the median taken, in processor time (the machine is shared) and in wall time,
// all on one processor.
//
// Usage: varek_decode_floor_bench DIR [--runs N] [--dbf PATH]
// DIR holds tc.dbf and tokens.dbf (see varek_make_large_register); PATH is the
// varek-dbf to run, by default the one beside this program.
#include "bench/child_process.h"
#include "core/errors.h"
#include "dbase/codepage.h"
#include "dbase/dbf.h"

#include <QCoreApplication>
#include <QDate>
#include <QFileInfo>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace varek;

namespace {

struct Times {
    double cpuMs = 0;
    double wallMs = 0;
};

double nowMs(clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

Times median(std::vector<Times> runs) {
    auto mid = [&](double Times::*m) {
        std::vector<double> v;
        for (const Times& t : runs)
            v.push_back(t.*m);
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    return {mid(&Times::cpuMs), mid(&Times::wallMs)};
}

template <typename F> Times measure(F&& f) {
    const double cpu = nowMs(CLOCK_PROCESS_CPUTIME_ID), wall = nowMs(CLOCK_MONOTONIC);
    f();
    return {nowMs(CLOCK_PROCESS_CPUTIME_ID) - cpu, nowMs(CLOCK_MONOTONIC) - wall};
}

// A checksum of what was decoded, so that nothing can be left out unseen.
quint64 g_sink = 0;

void consume(const QString& s) {
    g_sink += quint64(s.size()) + (s.isEmpty() ? 0 : s.at(0).unicode());
}

bool blank(unsigned char c) {
    return c == ' ' || c == 0;
}

// The floor: the file mapped, its fields converted in place.
void floorDecode(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw EFileError(QStringLiteral("Cannot open %1").arg(path));
    struct stat st;
    ::fstat(fd, &st);
    void* map = ::mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) throw EFileError(QStringLiteral("Cannot map %1").arg(path));
    const auto* file = static_cast<const unsigned char*>(map);
    const quint32 count =
        quint32(file[4]) | quint32(file[5]) << 8 | quint32(file[6]) << 16 | quint32(file[7]) << 24;
    const int headerLength = file[8] | file[9] << 8;
    const int recordLength = file[10] | file[11] << 8;
    const CodePage* page = codePageForLanguageDriver(file[29]);
    if (!page) page = &CodePage::cp866();
    struct Field {
        char type;
        int offset;
        int length;
    };
    std::vector<Field> fields;
    int offset = 1;
    for (const unsigned char* d = file + 32; *d != 0x0D; d += 32) {
        fields.push_back({char(d[11]), offset, d[16]});
        offset += d[16];
    }
    for (quint32 r = 0; r < count; ++r) {
        const unsigned char* rec = file + headerLength + qint64(r) * recordLength;
        if (rec[0] == '*') continue;
        for (const Field& f : fields) {
            const unsigned char* p = rec + f.offset;
            switch (f.type) {
            case 'C': {
                int e = f.length;
                while (e > 0 && blank(p[e - 1]))
                    --e;
                QString s(e, Qt::Uninitialized);
                char16_t* out = reinterpret_cast<char16_t*>(s.data());
                for (int i = 0; i < e; ++i)
                    out[i] = page->unicodeOf(p[i]);
                consume(s);
                break;
            }
            case 'N': {
                int i = 0;
                while (i < f.length && blank(p[i]))
                    ++i;
                bool negative = i < f.length && p[i] == '-';
                if (negative) ++i;
                qint64 v = 0;
                for (; i < f.length && p[i] >= '0' && p[i] <= '9'; ++i)
                    v = v * 10 + (p[i] - '0');
                g_sink += quint64(negative ? -v : v);
                break;
            }
            case 'D': {
                const QDate d((p[0] - '0') * 1000 + (p[1] - '0') * 100 + (p[2] - '0') * 10 + (p[3] - '0'),
                              (p[4] - '0') * 10 + (p[5] - '0'), (p[6] - '0') * 10 + (p[7] - '0'));
                g_sink += quint64(d.toJulianDay());
                break;
            }
            default:
                break;
            }
        }
    }
    ::munmap(map, size_t(st.st_size));
}

void codecDecode(const QString& path) {
    const auto file = DbfFile::open(path);
    file->readAll([](quint32, QVector<QVariant>&& values) {
        for (const QVariant& v : values) {
            switch (v.typeId()) {
            case QMetaType::QString:
                consume(*static_cast<const QString*>(v.constData()));
                break;
            case QMetaType::LongLong:
                g_sink += quint64(*static_cast<const qint64*>(v.constData()));
                break;
            case QMetaType::QDate:
                g_sink += quint64(static_cast<const QDate*>(v.constData())->toJulianDay());
                break;
            default:
                break;
            }
        }
    });
}

// Runs varek-dbf --csv FILE with its output to /dev/null; the child's own processor time.
Times toolCsv(const QString& tool, const QString& path) {
    const QByteArray toolPath = QFile::encodeName(tool), filePath = QFile::encodeName(path);
    const double wall = nowMs(CLOCK_MONOTONIC);
    const ChildRun run = runChild(toolPath, {"--csv", filePath}, {}, true);
    const double wallMs = nowMs(CLOCK_MONOTONIC) - wall;
    if (!run.exited || run.exitCode != 0)
        throw EFileError(QStringLiteral("%1 --csv %2 failed").arg(tool, path));
    const double cpuMs = run.cpuMs;
    return {cpuMs, wallMs};
}

void row(const char* what, const Times& t, const Times& floor, const char* goal) {
    std::printf("  %-22s cpu %8.1f ms (%5.2fx)   wall %8.1f ms (%5.2fx)   %s\n", what, t.cpuMs,
                t.cpuMs / floor.cpuMs, t.wallMs, t.wallMs / floor.wallMs, goal);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    int runs = 5;
    QString tool = QCoreApplication::applicationDirPath() + QStringLiteral("/varek-dbf");
    for (int i = 0; i + 1 < args.size();) {
        if (args[i] == QLatin1String("--runs")) {
            runs = std::max(1, args[i + 1].toInt());
            args.remove(i, 2);
        } else if (args[i] == QLatin1String("--dbf")) {
            tool = args[i + 1];
            args.remove(i, 2);
        } else {
            ++i;
        }
    }
    if (args.size() != 1) {
        std::fprintf(stderr, "usage: %s DIR [--runs N] [--dbf PATH]\n", argv[0]);
        return 2;
    }
    // The floor, the codec and the tool on one processor (the tool inherits
    // it): the processors of a shared machine need not be equally fast.
    const int cpu = stayOnThisProcessor();
    if (cpu >= 0) std::printf("(measured on processor %d)\n", cpu);
    try {
        for (const char* name : {"tc.dbf", "tokens.dbf"}) {
            const QString path = args[0] + QLatin1Char('/') + QLatin1String(name);
            if (!QFileInfo::exists(path)) throw EFileError(QStringLiteral("No %1").arg(path));
            std::vector<Times> floorRuns, codecRuns, toolRuns;
            floorDecode(path); // warm the page cache
            for (int r = 0; r < runs; ++r) {
                floorRuns.push_back(measure([&] { floorDecode(path); }));
                codecRuns.push_back(measure([&] { codecDecode(path); }));
                toolRuns.push_back(toolCsv(tool, path));
            }
            const Times floor = median(floorRuns);
            std::printf("%s (median of %d runs)\n", name, runs);
            row("floor (mapped loop)", floor, floor, "");
            row("DbfFile::readAll", median(codecRuns), floor, "goal <= 1.5x");
            row("varek-dbf --csv", median(toolRuns), floor, "goal <= 2x");
        }
    } catch (const VarekError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "(checksum %llu)\n", static_cast<unsigned long long>(g_sink));
    return 0;
}
