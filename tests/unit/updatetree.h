// A program root, a staging directory and a manifest built from file contents, for the tests of
// the install procedure and the rollback.
#pragma once

#include "manifest.h"
#include "testsupport.h"

#include <QDir>
#include <QMap>
#include <QTemporaryDir>

struct UpdateTree
{
    QTemporaryDir tmp;
    QString root = tmp.path() + QStringLiteral("/program");
    QString stage = tmp.path() + QStringLiteral("/stage");

    UpdateTree() { QDir().mkpath(root); }

    void putOld(const QMap<QString, QByteArray> &files) const
    {
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            testsupport::writeFile(root, it.key(), it.value());
    }

    // A manifest of `files` (in the order given), with every file staged.
    vellumix::UpdateManifest stageUpdate(const QList<QPair<QString, QByteArray>> &files,
                                          bool writeStagedCopies = true) const
    {
        vellumix::UpdateManifest manifest;
        manifest.version = QStringLiteral("2.0.0");
        manifest.sequence = 2;
        for (const auto &[path, contents] : files) {
            vellumix::ManifestFile file;
            file.path = path;
            file.sha256 = testsupport::sha256Hex(contents).toLatin1();
            file.packedSha256 = file.sha256;
            file.size = contents.size();
            file.packedSize = contents.size() + 4;
            manifest.files.append(file);
            if (writeStagedCopies)
                testsupport::writeFile(stage, QStringLiteral("files/") + path, contents);
        }
        return manifest;
    }

    testsupport::TreeSnapshot program() const
    {
        return testsupport::snapshotTree(root, {QStringLiteral(".vellumix-update")});
    }
    testsupport::TreeSnapshot backup() const
    {
        return testsupport::snapshotTree(root + QStringLiteral("/.vellumix-update/backup"));
    }
    QString workPath(const QString &name) const
    {
        return root + QStringLiteral("/.vellumix-update/") + name;
    }
};

// Makes a directory immutable (chattr +i) for the lifetime of the object, so that nothing in it
// can be created, renamed or removed, even by root.
class ImmutableDirectory
{
public:
    explicit ImmutableDirectory(const QString &path) : m_path(path)
    {
        m_ok = testsupport::isRoot()
            && testsupport::runProgram(QStringLiteral("chattr"), {QStringLiteral("+i"), path}) == 0;
    }
    ~ImmutableDirectory() { release(); }
    bool isInEffect() const { return m_ok; }
    void release()
    {
        if (m_ok)
            testsupport::runProgram(QStringLiteral("chattr"), {QStringLiteral("-i"), m_path});
        m_ok = false;
    }

private:
    QString m_path;
    bool m_ok = false;
};
