// The order in which the updater puts things on stable storage, read from a system-call trace of
// a real run (strace -y shows the path behind each descriptor):
// - no journal state beyond "installing" (nor "rolledback" after a rollback) is written before a
//   flush of the whole file system (syncfs) that follows the last change to the program files;
// - every journal is flushed before it is published (fdatasync of the save-file's temporary
//   before the link or rename that gives it its name) and its directory entry is flushed (fsync
//   of the work directory) before the next change to the disk;
// - every program file that is changed is named by an entry of a journal that was published and
//   flushed before the change.
#include "faultrig.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>

using namespace fault;

Q_DECLARE_METATYPE(fault::NewVersion)

namespace {

struct Call
{
    QString name;
    QString line;
    QString firstPath;  // the first quoted argument
    QString secondPath; // the second one (the new name of a rename)
    int result = -1;
};

QList<Call> traceRun(const ReferenceUpdate &update, int expectedExit)
{
    const auto installation = update.freshInstallation();
    const QString traceFile = QFileInfo(installation->root()).absolutePath() + QStringLiteral("/order.txt");
    const e2e::RunResult run = installation->runProgram(
        QStringLiteral("strace"),
        QStringList{QStringLiteral("-q"), QStringLiteral("-y"), QStringLiteral("-s"), QStringLiteral("65536"),
                    QStringLiteral("-o"), traceFile, QStringLiteral("-e"),
                    QStringLiteral("trace=") + mutatingCalls().join(u','),
                    QString::fromUtf8(VELLUMIX_UPDATER_BINARY)}
            + update.applyArguments(*installation));
    if (run.exitCode != expectedExit) {
        qWarning("traced run: exit %d %s", run.exitCode, qPrintable(run.errorOutput));
        return {};
    }
    static const QRegularExpression quoted(QStringLiteral("\"((?:[^\"\\\\]|\\\\.)*)\""));
    static const QRegularExpression result(QStringLiteral("\\) += (-?\\d+)"));
    QList<Call> calls;
    for (const TracedCall &traced : readTrace(traceFile)) {
        Call call{traced.name, traced.line, QString(), QString(), -1};
        auto paths = quoted.globalMatch(traced.line);
        if (paths.hasNext())
            call.firstPath = paths.next().captured(1);
        if (paths.hasNext())
            call.secondPath = paths.next().captured(1);
        const auto value = result.match(traced.line);
        if (value.hasMatch())
            call.result = value.captured(1).toInt();
        calls.append(call);
    }
    return calls;
}

// The descriptor argument with its path as strace -y writes it: "5</dir/#87>(deleted)".
QString descriptorOf(const QString &line)
{
    static const QRegularExpression fd(QStringLiteral("^[a-z_0-9]+\\((\\d+<[^>]*>)"));
    return fd.match(line).captured(1);
}

bool isJournalWrite(const Call &call)
{
    return call.name == u"write" && call.line.contains(QStringLiteral("\\\"state\\\":\\\""))
        && call.line.contains(QStringLiteral("\\\"token\\\""));
}

QString stateOf(const Call &journalWrite)
{
    static const QRegularExpression state(QStringLiteral("\\\\\"state\\\\\":\\\\\"([a-z-]+)"));
    return state.match(journalWrite.line).captured(1);
}

bool isProgramPath(const QString &path, const QString &root)
{
    return path.startsWith(root + u'/') && !path.startsWith(root + QStringLiteral("/.vellumix-update"));
}

// The program-relative path that a rename or removal changes, empty when it changes none.
QString changedProgramPath(const Call &call, const QString &root)
{
    if (call.name != u"renameat2" && call.name != u"rename" && call.name != u"unlink")
        return QString();
    for (const QString &path : {call.firstPath, call.secondPath}) {
        if (isProgramPath(path, root))
            return path.mid(root.size() + 1);
    }
    return QString();
}

// A change to a file of the program (not in the work directory).
bool changesProgramFile(const Call &call, const QString &root)
{
    const bool inProgram = isProgramPath(call.firstPath, root);
    if (call.name == u"renameat2" || call.name == u"rename" || call.name == u"unlink")
        return !changedProgramPath(call, root).isEmpty();
    if (call.name == u"openat")
        return inProgram && isMutating({call.name, call.line, false});
    if (call.name == u"copy_file_range" || call.name == u"write" || call.name == u"fchmod") {
        const QString target = call.name == u"copy_file_range"
            ? call.line.section(QStringLiteral("NULL, "), 1, 1)
            : call.line;
        return target.contains(u'<' + root + u'/') && !target.contains(root + QStringLiteral("/.vellumix-update"));
    }
    return false;
}

bool publishesJournal(const Call &call, const QString &journal)
{
    if (call.result != 0)
        return false;
    if (call.name == u"linkat")
        return call.line.contains(u'"' + journal + u'"');
    return (call.name == u"rename" || call.name == u"renameat2")
        && call.line.contains(QStringLiteral(", \"") + journal + u'"');
}

// `root` is the program root as the trace spells it (bytes beyond ASCII as octal escapes).
QStringList checkOrder(const QList<Call> &calls, const QString &root)
{
    const QString work = root + QStringLiteral("/.vellumix-update");
    const QString journal = work + QStringLiteral("/transaction.json");
    QStringList problems;
    int lastProgramChange = -1;
    int lastSyncfs = -1;
    QString publishedEntries; // the content of the last journal that is on stable storage
    QString pendingContent;
    QString pendingDescriptor;
    bool pendingFlushed = false;
    int publishedAt = -1; // a journal published whose directory entry is not yet flushed

    for (int i = 0; i < calls.size(); ++i) {
        const Call &call = calls.at(i);
        if (call.name == u"syncfs" && call.result == 0)
            lastSyncfs = i;
        if (isJournalWrite(call)) {
            const QString state = stateOf(call);
            if (state != u"installing" && lastProgramChange > lastSyncfs)
                problems << QStringLiteral("journal \"%1\" written at call %2 before a syncfs after the program change at call %3")
                                .arg(state).arg(i).arg(lastProgramChange);
            pendingContent = call.line;
            pendingDescriptor = descriptorOf(call.line);
            pendingFlushed = false;
            continue;
        }
        if ((call.name == u"fdatasync" || call.name == u"fsync") && !pendingDescriptor.isEmpty()
            && descriptorOf(call.line) == pendingDescriptor && call.result == 0) {
            pendingFlushed = true;
            continue;
        }
        if (!pendingContent.isEmpty() && publishesJournal(call, journal)) {
            if (!pendingFlushed)
                problems << QStringLiteral("journal published at call %1 before its data was flushed").arg(i);
            publishedAt = i;
            publishedEntries = pendingContent;
            pendingContent.clear();
            pendingDescriptor.clear();
            continue;
        }
        if (call.name == u"fsync" && call.result == 0 && descriptorOf(call.line).endsWith(u'<' + work + u'>')) {
            publishedAt = -1;
            continue;
        }
        const bool change = changesProgramFile(call, root);
        const bool anyChange = change || (call.name == u"mkdir" && call.result == 0)
            || ((call.name == u"unlink" || call.name == u"rename") && call.result == 0
                && !call.firstPath.startsWith(work + QStringLiteral("/transaction.json")));
        if (publishedAt >= 0 && anyChange)
            problems << QStringLiteral("call %1 changes the disk before the directory of the journal published at call %2 was flushed: %3")
                            .arg(i).arg(publishedAt).arg(call.line.left(160));
        if (!change)
            continue;
        lastProgramChange = i;
        // The file it changes must be named by the journal that is on stable storage.
        const QString relative = call.name == u"openat" ? call.firstPath.mid(root.size() + 1)
                                                        : changedProgramPath(call, root);
        if (!relative.isEmpty()
            && !publishedEntries.contains(QStringLiteral("\\\"path\\\":\\\"") + relative + QStringLiteral("\\\"")))
            problems << QStringLiteral("call %1 changes %2, which no flushed journal names").arg(i).arg(relative);
    }
    return problems;
}

} // namespace

class Durability : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        VELLUMIX_REQUIRE_DEV_SIGNING_KEY();
        if (!haveStrace())
            QSKIP("needs strace");
    }

    void orderOfFlushes_data()
    {
        QTest::addColumn<NewVersion>("behaviour");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("states");
        QTest::newRow("install, confirmation")
            << NewVersion::Confirms << 0
            << QStringList{QStringLiteral("installing"), QStringLiteral("starting"), QStringLiteral("healthy")};
        QTest::newRow("install, rollback in the same run")
            << NewVersion::Crashes << 4
            << QStringList{QStringLiteral("installing"), QStringLiteral("starting"), QStringLiteral("rolledback")};
    }

    void orderOfFlushes()
    {
        QFETCH(NewVersion, behaviour);
        QFETCH(int, exitCode);
        QFETCH(QStringList, states);
        Scratch scratch;
        const ReferenceUpdate update(behaviour);
        const QList<Call> calls = traceRun(update, exitCode);
        QVERIFY(!calls.isEmpty());

        // The trace must show what the rules speak of, or they would pass on an empty trace.
        QStringList written;
        int journals = 0;
        for (const Call &call : calls) {
            if (isJournalWrite(call)) {
                ++journals;
                if (written.isEmpty() || written.last() != stateOf(call))
                    written << stateOf(call);
            }
        }
        QCOMPARE(written, states);
        QCOMPARE(journals, 1 + 16 + (states.size() - 1)); // created, one per installed file, then each state
        const auto syncfsCalls = std::count_if(calls.cbegin(), calls.cend(),
                                               [](const Call &c) { return c.name == u"syncfs"; });
        QVERIFY(syncfsCalls >= 1);

        // The program root of the traced run: recovered from the trace, since each run has its own.
        QString root;
        for (const Call &call : calls) {
            if (call.name == u"openat" && call.firstPath.endsWith(QStringLiteral("/.vellumix-update/installer.lock"))) {
                root = call.firstPath.chopped(int(qstrlen("/.vellumix-update/installer.lock")));
                break;
            }
        }
        QVERIFY(!root.isEmpty());
        const QStringList problems = checkOrder(calls, root);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u'\n')));

        // The rules see a missing flush: the same trace without one kind of flush breaks them.
        for (const QString &flush : {QStringLiteral("syncfs"), QStringLiteral("fdatasync"), QStringLiteral("fsync")}) {
            QList<Call> without = calls;
            without.removeIf([&](const Call &call) { return call.name == flush; });
            QVERIFY2(!checkOrder(without, root).isEmpty(), qPrintable(flush));
        }
    }
};

QTEST_GUILESS_MAIN(Durability)
#include "tst_durability.moc"
