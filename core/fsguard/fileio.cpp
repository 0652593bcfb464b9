#include "fileio.h"

#include "platform.h"
#include "osbridge.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <string>

namespace vellumix {

namespace {
constexpr qint64 kHashBlock = 1 << 20;
}

CoreResult<QByteArray> readFileLimited(const QString &path, qint64 maxBytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return CoreError{CoreError::CannotRead, path, file.errorString()};
    if (file.size() > maxBytes)
        return CoreError{CoreError::TooLarge, path, {}};
    /*
        The size test refuses an oversized regular file before a byte of it is read. It says
        nothing about a file that grows while it is read, or about a pipe or device, whose size
        reads as 0: reading at most one byte more than the bound keeps the bound for those too,
        so no input can make this read fill the memory.
    */
    QByteArray contents = file.read(maxBytes < 0 ? 0 : maxBytes + 1);
    if (file.error() != QFileDevice::NoError)
        return CoreError{CoreError::CannotRead, path, file.errorString()};
    if (contents.size() > maxBytes)
        return CoreError{CoreError::TooLarge, path, {}};
    return contents;
}

std::optional<QByteArray> readRegularFileOnly(const QString &path, qint64 maxBytes)
{
    std::string bytes;
    if (os::readRegularFile(osText(QDir::toNativeSeparators(path)), std::size_t(maxBytes),
                            os::LinkAtName::Refuse, bytes)
        != os::FileRead::Read)
        return std::nullopt;
    return QByteArray(bytes.data(), qsizetype(bytes.size()));
}

AtomicWriteResult replaceFileAtomically(const QString &path, const QByteArray &contents,
                                        ModificationTime time)
{
    const QString directory = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(directory))
        return {AtomicWriteResult::CannotCreateDirectory, {}};

    /*
        QSaveFile resolves a symbolic link standing at the file's name and replaces the file the
        link points to, wherever that is. The callers check the directory, not the name itself, so
        a link planted in the work directory would have the journal written outside the program
        root: a link at the name is refused like a link on the directory.
    */
    if (os::linkStatus(osText(path)) == os::LinkStatus::Link)
        return {AtomicWriteResult::LinkAtName, {}};
    std::optional<qint64> previousSecs;
    if (time == ModificationTime::AfterPrevious && QFileInfo::exists(path))
        previousSecs = QFileInfo(path).lastModified().toSecsSinceEpoch();
    QSaveFile file(path);
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size()
        || !file.flush())
        return {AtomicWriteResult::CannotWrite, file.errorString()};
    if (previousSecs && QDateTime::currentSecsSinceEpoch() <= *previousSecs)
        file.setFileTime(QDateTime::fromSecsSinceEpoch(*previousSecs + 1),
                         QFileDevice::FileModificationTime);
    /*
        QSaveFile flushes the temporary file to disk when it commits but ignores a failure of that
        flush, and it does not flush the directory after its rename. A journal that the next step
        relies on must be on stable storage, so both flushes are made here and their failures
        count: the data before the commit (the old file is still intact if it fails), the
        directory entry after it.
    */
    if (!os::flushOpenFile(file.handle()) || !file.commit())
        return {AtomicWriteResult::CannotWrite, file.errorString()};
    if (!os::flushDirectoryEntries(osText(directory)))
        return {AtomicWriteResult::CannotFlushDirectory, {}};
    return {};
}

CoreError writeFileAtomic(const QString &path, const QByteArray &contents)
{
    const AtomicWriteResult result = replaceFileAtomically(path, contents);
    switch (result.status) {
    case AtomicWriteResult::Written:
        return {};
    case AtomicWriteResult::CannotCreateDirectory:
        return {CoreError::CannotCreateDirectory, path, {}};
    case AtomicWriteResult::LinkAtName:
        return {CoreError::LinkAtName, path, {}};
    case AtomicWriteResult::CannotWrite:
        return {CoreError::CannotWrite, path, result.errorString};
    case AtomicWriteResult::CannotFlushDirectory:
        break;
    }
    return {CoreError::CannotWrite, path, QStringLiteral("the directory entry was not flushed")};
}

QByteArray fileSha256Hex(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    os::Sha256 hash;
    QByteArray block(kHashBlock, Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(block.data(), block.size());
        if (n < 0)
            return QByteArray();
        if (n == 0)
            break;
        if (!hash.update(osBytes(block).first(std::size_t(n))))
            return QByteArray();
    }
    os::Sha256Digest digest;
    if (!hash.finish(digest))
        return QByteArray();
    return QByteArray(reinterpret_cast<const char *>(digest.data()), qsizetype(digest.size()))
        .toHex();
}

} // namespace vellumix
