#include "scenario.h"

#include "osbridge.h"
#include "platform.h"
#include "signing.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <cstdlib>

namespace bench {

namespace os = vellumix::os;

namespace {

constexpr qint64 KiB = 1024;
constexpr qint64 MiB = 1024 * KiB;
const QString kVersion = QStringLiteral("2.0.0");
constexpr qint32 kSequence = 2;

[[noreturn]] void setupFailure(const QString &what)
{
    std::fprintf(stderr, "vellumix-bench: %s\n", qPrintable(what));
    std::exit(2);
}

// splitmix64: fast, and every (file, version) pair gets contents of its own.
struct Random
{
    quint64 state;
    quint64 next()
    {
        quint64 z = (state += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
};

QString dataPath(const Scenario &scenario, int index)
{
    const QString name = QStringLiteral("f%1.bin").arg(index, 5, 10, QLatin1Char('0'));
    if (scenario.perDirectory == 0)
        return QStringLiteral("data/") + name;
    return QStringLiteral("data/d%1/").arg(index / scenario.perDirectory, 3, 10, QLatin1Char('0'))
        + name;
}

qint64 dataSize(const Scenario &scenario, int index)
{
    if (scenario.minSize == scenario.maxSize)
        return scenario.minSize;
    Random random{quint64(index) * 7919u + 17u};
    return scenario.minSize + qint64(random.next() % quint64(scenario.maxSize - scenario.minSize + 1));
}

QFile &openForWriting(QFile &file)
{
    if (!QDir().mkpath(QFileInfo(file.fileName()).absolutePath())
        || !file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        setupFailure(QStringLiteral("cannot write ") + file.fileName());
    return file;
}

// Writes one version of a data file and answers the SHA-256 of what it wrote.
QByteArray writeDataFile(const QString &path, qint64 size, quint64 seed)
{
    static QByteArray block(4 * MiB, Qt::Uninitialized);
    Random random{seed};
    os::Sha256 hash;
    QFile file(path);
    openForWriting(file);
    for (qint64 done = 0; done < size;) {
        const qint64 n = qMin<qint64>(block.size(), size - done);
        auto *words = reinterpret_cast<quint64 *>(block.data());
        for (qint64 i = 0; i < (n + 7) / 8; ++i)
            words[i] = random.next();
        if (file.write(block.constData(), n) != n)
            setupFailure(QStringLiteral("cannot write ") + path);
        hash.update(vellumix::osBytes(block).first(std::size_t(n)));
        done += n;
    }
    os::Sha256Digest digest;
    if (!hash.finish(digest) || !file.flush())
        setupFailure(QStringLiteral("cannot write ") + path);
    return QByteArray(reinterpret_cast<const char *>(digest.data()), qsizetype(digest.size())).toHex();
}

quint64 seedOf(int index, int version)
{
    return (quint64(version) << 40) ^ quint64(index) * 0x100000001b3ull;
}

void copyBinary(const QString &from, const QString &to)
{
    QFile::remove(to);
    if (!QFile::copy(from, to))
        setupFailure(QStringLiteral("cannot copy ") + from);
}

QJsonObject manifestEntry(const QString &path, const QByteArray &sha256, qint64 size)
{
    return {{QStringLiteral("path"), path},
            {QStringLiteral("sha256"), QString::fromLatin1(sha256)},
            {QStringLiteral("size"), double(size)},
            {QStringLiteral("packedSha256"), QString::fromLatin1(sha256)},
            {QStringLiteral("packedSize"), double(qMax<qint64>(size, 4))}};
}

QByteArray fileSha256(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        setupFailure(QStringLiteral("cannot read ") + path);
    const QByteArray contents = file.readAll();
    os::Sha256 hash;
    os::Sha256Digest digest;
    hash.update(vellumix::osBytes(contents));
    hash.finish(digest);
    return QByteArray(reinterpret_cast<const char *>(digest.data()), qsizetype(digest.size())).toHex();
}

} // namespace

QList<Scenario> standardScenarios()
{
    // "widest" fills the largest manifest allowed (19,999 entries) with the two programs, which
    // every update must list, and 19,997 data files.
    return {
        {QStringLiteral("large"), 64, 16 * MiB, 16 * MiB, 0, true},
        {QStringLiteral("many"), 5000, 4 * KiB, 64 * KiB, 100, true},
        {QStringLiteral("no-op"), 5000, 4 * KiB, 64 * KiB, 100, false},
        {QStringLiteral("widest"), 19997, 1 * KiB, 1 * KiB, 500, true},
    };
}

QString updaterBinary()
{
    return QStringLiteral(VELLUMIX_UPDATER_BINARY);
}

QString sampleAppBinary()
{
    return QStringLiteral(VELLUMIX_SAMPLE_APP_BINARY);
}

StagedUpdate writeStagedUpdate(const Scenario &scenario, const QString &stage)
{
    QDir(stage).removeRecursively();
    const QString files = stage + QStringLiteral("/files/");
    StagedUpdate staged;
    QJsonArray entries;
    for (const QString &program : {QStringLiteral("Vellumix.exe"), QStringLiteral("VellumixUpdater.exe")}) {
        QDir().mkpath(files);
        copyBinary(program == u"Vellumix.exe" ? sampleAppBinary() : updaterBinary(), files + program);
        entries.append(manifestEntry(program, fileSha256(files + program),
                                     QFileInfo(files + program).size()));
    }
    for (int i = 0; i < scenario.files; ++i) {
        const QString path = dataPath(scenario, i);
        const qint64 size = dataSize(scenario, i);
        entries.append(manifestEntry(path, writeDataFile(files + path, size, seedOf(i, 2)), size));
        staged.dataBytes += size;
    }
    const QByteArray payload = QJsonDocument(QJsonObject{
        {QStringLiteral("schema"), 1},
        {QStringLiteral("platform"), QStringLiteral("windows-x64")},
        {QStringLiteral("sequence"), kSequence},
        {QStringLiteral("version"), kVersion},
        {QStringLiteral("notes"), QString()},
        {QStringLiteral("files"), entries},
    }).toJson(QJsonDocument::Compact);
    const QByteArray manifest = testsupport::signedEnvelope(payload);
    QFile file(stage + QStringLiteral("/manifest.json"));
    if (openForWriting(file).write(manifest) != manifest.size())
        setupFailure(QStringLiteral("cannot write the manifest"));
    staged.manifestEntries = int(entries.size());
    staged.manifestBytes = manifest.size();
    return staged;
}

void writeProgramRoot(const Scenario &scenario, const QString &root)
{
    QDir(root).removeRecursively();
    if (!QDir().mkpath(root + QStringLiteral("/.vellumix-update")))
        setupFailure(QStringLiteral("cannot create ") + root);
    copyBinary(sampleAppBinary(), root + QStringLiteral("/Vellumix.exe"));
    copyBinary(updaterBinary(), root + QStringLiteral("/VellumixUpdater.exe"));
    // The stand-in already carries the new version's settings: it confirms at once and ends.
    QFile settings(root + QStringLiteral("/vellumix-sample.json"));
    openForWriting(settings).write(QJsonDocument(QJsonObject{
        {QStringLiteral("version"), kVersion},
        {QStringLiteral("sequence"), kSequence},
        {QStringLiteral("behaviour"), QStringLiteral("confirm")},
        {QStringLiteral("delayMs"), 0},
        {QStringLiteral("runMs"), 0},
    }).toJson(QJsonDocument::Compact));
    for (int i = 0; i < scenario.files; ++i)
        writeDataFile(root + u'/' + dataPath(scenario, i), dataSize(scenario, i),
                      seedOf(i, scenario.changed ? 1 : 2));
}

} // namespace bench
