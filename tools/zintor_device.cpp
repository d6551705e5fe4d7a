#include "tools/zintor_device.h"

#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <chrono>

namespace varek::sim {

namespace {
void sleepMs(int ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
} // namespace

ZintorDevice::ZintorDevice(PtyPair& pty, ZintorOptions options)
    : m_pty(pty), m_options(std::move(options)), m_memory(MemorySize, char(0xFF)) {}

ZintorDevice::~ZintorDevice() {
    stop();
}

void ZintorDevice::start() {
    if (m_thread.joinable()) return;
    m_stop = false;
    m_thread = std::thread([this] { run(); });
}

void ZintorDevice::stop() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
}

QByteArray ZintorDevice::memory() const {
    std::lock_guard lock(m_mutex);
    return m_memory;
}

void ZintorDevice::setMemory(const QByteArray& memory) {
    std::lock_guard lock(m_mutex);
    m_memory = memory.left(MemorySize);
    if (m_memory.size() < MemorySize) m_memory.append(MemorySize - m_memory.size(), char(0xFF));
}

QString ZintorDevice::dumpLine(int address, const QByteArray& bytes32) {
    return QStringLiteral("%1: %2")
        .arg(address, 5, 16, QLatin1Char('0'))
        .arg(QString::fromLatin1(bytes32.toHex()))
        .toUpper();
}

QStringList ZintorDevice::memoryDumpLines() const {
    const QByteArray mem = memory();
    QStringList lines;
    for (int a = 0; a < MemorySize; a += 32)
        lines << dumpLine(a, mem.mid(a, 32));
    return lines;
}

bool ZintorDevice::writeMemoryFile(const QString& path) const {
    QFile file(path + QStringLiteral(".tmp"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    for (const QString& line : memoryDumpLines())
        file.write(line.toLatin1() + "\r\n");
    file.close();
    QFile::remove(path);
    return file.rename(path);
}

QList<QByteArray> ZintorDevice::receivedLines() const {
    std::lock_guard lock(m_mutex);
    return m_received;
}

void ZintorDevice::run() {
    QByteArray pending;
    while (!m_stop) {
        if (!m_pty.waitReadable(20)) continue;
        pending += m_pty.readAvailable();
        qsizetype end;
        while ((end = pending.indexOf('\n')) >= 0) {
            QByteArray line = pending.left(end);
            pending.remove(0, end + 1);
            if (line.endsWith('\r')) line.chop(1);
            {
                std::lock_guard lock(m_mutex);
                m_received << line;
            }
            handleLine(line);
        }
    }
}

void ZintorDevice::reply(const QByteArray& line) {
    if (m_options.silent || m_stop) return;
    sleepMs(m_options.slowMs);
    QByteArray text = line;
    if (m_options.garbage) {
        text.resize(40);
        for (char& c : text) {
            do
                c = char(QRandomGenerator::global()->bounded(256));
            while (c == '\r' || c == '\n');
        }
    }
    text += "\r\n";
    if (m_options.stallMs > 0) {
        const qsizetype half = qMax<qsizetype>(1, line.size() / 2);
        m_pty.writeAll(text.left(half));
        sleepMs(m_options.stallMs);
        m_pty.writeAll(text.mid(half));
    } else {
        m_pty.writeAll(text);
    }
}

void ZintorDevice::handleLine(const QByteArray& line) {
    static const QRegularExpression dump(QStringLiteral("^([0-9A-Fa-f]{5}): ([0-9A-Fa-f]{64})$"));
    if (line.isEmpty()) return;
    if (line == "d") {
        const QStringList lines = memoryDumpLines();
        reply("# Zintor memory, 8192 bytes");
        for (int i = 0; i < lines.size(); ++i) {
            if (i % 64 == 0) reply("# page " + QByteArray::number(i / 64));
            reply(lines.at(i).toLatin1());
        }
        reply("# end");
        return;
    }
    if (line == "s" || line == "w") {
        reply(line == "s" ? "# storing image" : "# writing controller");
        ++m_stores;
        if (!m_options.memoryOut.isEmpty()) writeMemoryFile(m_options.memoryOut);
        reply(line == "s" ? "STORED" : "WRITTEN");
        return;
    }
    const auto match = dump.match(QString::fromLatin1(line));
    if (match.hasMatch()) {
        const int address = match.captured(1).toInt(nullptr, 16);
        if (address % 32 == 0 && address < MemorySize) {
            {
                std::lock_guard lock(m_mutex);
                m_memory.replace(address, 32, QByteArray::fromHex(match.captured(2).toLatin1()));
            }
            reply("OK " + match.captured(1).toUpper().toLatin1());
            return;
        }
        reply("ERROR bad line");
        return;
    }
    if (line.contains(':'))
        reply("ERROR bad line");
    else
        reply("ERROR unknown command");
}

QByteArray OrvanReader::frame(const QByteArray& digits) {
    return "\x02" + digits + "\r\n";
}

bool OrvanReader::sendCard(const QByteArray& digits, int pieces, int pauseMs) {
    const QByteArray bytes = frame(digits);
    if (pieces <= 1) return m_pty.writeAll(bytes);
    const qsizetype step = qMax<qsizetype>(1, (bytes.size() + pieces - 1) / pieces);
    for (qsizetype at = 0; at < bytes.size(); at += step) {
        if (at > 0) sleepMs(pauseMs);
        if (!m_pty.writeAll(bytes.mid(at, step))) return false;
    }
    return true;
}

} // namespace varek::sim
