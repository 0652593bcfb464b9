// The journal's reading, writing, classification and exact serialized form, and the other records
// of the work directory (the installed release, the health file) as their owners read and write them.
#include "healthrecord.h"
#include "installedrecord.h"
#include "journal.h"
#include "messages.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

using namespace vellumix;
using testsupport::failureOf;
using testsupport::kNoFailure;

class JournalTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;
    QString m_root;
    int m_case = 0;

    QString journalPath() const { return m_root + QStringLiteral("/.vellumix-update/transaction.json"); }
    void putJournal(const QByteArray &bytes)
    {
        testsupport::writeFile(m_root, QStringLiteral(".vellumix-update/transaction.json"), bytes);
    }

private slots:
    void init()
    {
        m_root = m_tmp.path() + QStringLiteral("/root") + QString::number(++m_case);
        QVERIFY(QDir().mkpath(m_root));
    }

    void absentJournalIsEmptyAndFinished()
    {
        TransactionJournal journal{{QStringLiteral("x"), 1}};
        QCOMPARE(failureOf([&] { journal = orThrow(readTransactionJournal(m_root)); }), kNoFailure);
        QVERIFY(journal.isEmpty());
        QVERIFY(!isTransactionUnfinished(journal));
        QVERIFY(!QFileInfo::exists(m_root + QStringLiteral("/.vellumix-update")));
    }

    void unfinishedStates_data()
    {
        QTest::addColumn<QByteArray>("state");
        QTest::addColumn<bool>("unfinished");
        QTest::newRow("installing") << QByteArray("\"installing\"") << true;
        QTest::newRow("starting") << QByteArray("\"starting\"") << true;
        QTest::newRow("rollback-needed") << QByteArray("\"rollback-needed\"") << true;
        QTest::newRow("healthy") << QByteArray("\"healthy\"") << false;
        QTest::newRow("rolledback") << QByteArray("\"rolledback\"") << false;
        QTest::newRow("letter case") << QByteArray("\"Installing\"") << false;
        QTest::newRow("trailing blank") << QByteArray("\"starting \"") << false;
        QTest::newRow("other text") << QByteArray("\"paused\"") << false;
    }

    void unfinishedStates()
    {
        QFETCH(QByteArray, state);
        QFETCH(bool, unfinished);
        putJournal("{\"state\":" + state + "}");
        TransactionJournal journal;
        QCOMPARE(failureOf([&] { journal = orThrow(readTransactionJournal(m_root)); }), kNoFailure);
        QCOMPARE(isTransactionUnfinished(journal), unfinished);
        QVERIFY(journal.value(QStringLiteral("entries")).toArray().isEmpty());
    }

    void damagedJournals_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::newRow("empty file") << QByteArray();
        QTest::newRow("array") << QByteArray("[{\"state\":\"installing\"}]");
        QTest::newRow("not JSON") << QByteArray("{\"state\":\"installing\"");
        QTest::newRow("no state") << QByteArray("{\"entries\":[]}");
        QTest::newRow("state a number") << QByteArray("{\"state\":1}");
        QTest::newRow("state null") << QByteArray("{\"state\":null}");
        QTest::newRow("state empty") << QByteArray("{\"state\":\"\"}");
        QTest::newRow("binary") << QByteArray("\x00\xff\xfe", 3);
    }

    void damagedJournals()
    {
        QFETCH(QByteArray, contents);
        putJournal(contents);
        QCOMPARE(failureOf([&] { orThrow(readTransactionJournal(m_root)); }), Msg::journalDamaged);
        QCOMPARE(testsupport::readFile(journalPath()), contents);
    }

    void unreadableJournal()
    {
        // Something stands at the journal's name that cannot be opened as a file.
        QVERIFY(QDir().mkpath(journalPath()));
        QCOMPARE(failureOf([&] { orThrow(readTransactionJournal(m_root)); }), Msg::journalUnreadable);
    }

    void serializedForm()
    {
        const QString token = QStringLiteral("0f8c9a3e-1b2c-4d5e-8f90-a1b2c3d4e5f6");
        TransactionJournal journal = newTransactionJournal(QStringLiteral("2.0.1"), 42, token);
        appendJournalEntry(journal, QStringLiteral("Vellumix.exe"), true);
        appendJournalEntry(journal, QStringLiteral(u"新/文件.dll"), false);
        QCOMPARE(failureOf([&] { orThrow(writeTransactionJournal(m_root, journal)); }), kNoFailure);
        QCOMPARE(testsupport::readFile(journalPath()),
                 QStringLiteral(u"{\"entries\":[{\"hadOld\":true,\"path\":\"Vellumix.exe\"},"
                                u"{\"hadOld\":false,\"path\":\"新/文件.dll\"}],\"sequence\":42,"
                                u"\"state\":\"installing\",\"token\":\"%1\",\"version\":\"2.0.1\"}")
                     .arg(token)
                     .toUtf8());
    }

    void freshTokenHasTheUuidForm()
    {
        const QString token = QUuid::createUuid().toString(QUuid::WithoutBraces);
        static const QRegularExpression form(
            QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"));
        QVERIFY2(form.match(token).hasMatch(), qPrintable(token));
    }

    void unknownMembersSurviveAStateChange()
    {
        // Written by a later version: members this one does not know, in an unusual order.
        const QByteArray stored =
            "{\"zeta\":{\"b\":[1,2.5,\"x\"],\"a\":null},\"state\":\"starting\",\"alpha\":-3,"
            "\"entries\":[{\"path\":\"a.dll\",\"hadOld\":true,\"extra\":7}],\"sequence\":9,"
            "\"token\":\"t\",\"version\":\"9\"}";
        putJournal(stored);
        TransactionJournal journal = orThrow(readTransactionJournal(m_root));
        journal.insert(QStringLiteral("state"), QStringLiteral("healthy"));
        orThrow(writeTransactionJournal(m_root, journal));
        QCOMPARE(testsupport::readFile(journalPath()),
                 QByteArray("{\"alpha\":-3,\"entries\":[{\"extra\":7,\"hadOld\":true,\"path\":\"a.dll\"}],"
                            "\"sequence\":9,\"state\":\"healthy\",\"token\":\"t\",\"version\":\"9\","
                            "\"zeta\":{\"a\":null,\"b\":[1,2.5,\"x\"]}}"));
    }

    void workDirectoryLinkIsRefused()
    {
        QTemporaryDir elsewhere;
        QVERIFY(QFile::link(elsewhere.path(), m_root + QStringLiteral("/.vellumix-update")));
        testsupport::writeFile(elsewhere.path(), QStringLiteral("transaction.json"),
                               "{\"state\":\"installing\"}");
        QCOMPARE(failureOf([&] { orThrow(readTransactionJournal(m_root)); }), Msg::workDirectoryHasLink);
        QCOMPARE(failureOf([&] { orThrow(writeTransactionJournal(m_root, {{QStringLiteral("state"), 1}})); }),
                 Msg::workDirectoryHasLink);
        QCOMPARE(testsupport::readFile(elsewhere.path() + QStringLiteral("/transaction.json")),
                 QByteArray("{\"state\":\"installing\"}"));
        QCOMPARE(failureOf([&] { orThrow(workDirectoryPath(m_root)); }), Msg::workDirectoryHasLink);
    }

    void workDirectoryPathIsJoinedNotCreated()
    {
        QString path;
        QCOMPARE(failureOf([&] { path = orThrow(workDirectoryPath(m_root)); }), kNoFailure);
        QCOMPARE(path, m_root + QStringLiteral("/.vellumix-update"));
        QVERIFY(!QFileInfo::exists(path));
    }

    // The journal that grows entry by entry serializes exactly as the whole object would.
    void growingJournalSerializesLikeTheWholeObject_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::newRow("fresh") << QJsonDocument(newTransactionJournal(
            QStringLiteral("2.0.1"), 42, QStringLiteral("0f8c9a3e-1b2c-4d5e-8f90-a1b2c3d4e5f6")))
                                      .toJson();
        QTest::newRow("unknown members before and after entries")
            << QByteArray("{\"zeta\":{\"b\":[1,2.5,\"x\"],\"a\":null},\"state\":\"installing\","
                          "\"alpha\":-3,\"Entries\":true,\"entrie\":1,\"entriesX\":2,"
                          "\"entries\":[{\"path\":\"a.dll\",\"hadOld\":true,\"extra\":7}],"
                          "\"sequence\":9,\"token\":\"t\",\"version\":\"9\"}");
        QTest::newRow("non-ASCII keys, nested entries, escapes and numbers")
            << QByteArray("{\"\xc3\xa9tat\":{\"entries\":[1,{\"entries\":[]}]},\"\xe6\x96\xb0\":\"\xf0\x9f\x98\x80\","
                          "\"ctl\":\"\\u0001\\\"\\\\/\\t\",\"big\":1e300,\"neg\":-0.5,"
                          "\"int\":9007199254740993,\"state\":\"installing\",\"entries\":[]}");
        QTest::newRow("entries missing") << QByteArray("{\"state\":\"installing\",\"a\":[]}");
        QTest::newRow("entries not an array")
            << QByteArray("{\"state\":\"installing\",\"entries\":\"none\",\"z\":{}}");
        QTest::newRow("nothing but entries") << QByteArray("{\"entries\":[{}]}");
    }

    void growingJournalSerializesLikeTheWholeObject()
    {
        QFETCH(QByteArray, stored);
        const QJsonDocument document = QJsonDocument::fromJson(stored);
        QVERIFY(document.isObject());
        GrowingJournal journal(document.object());
        const auto expected = [&] { return QJsonDocument(journal.object()).toJson(QJsonDocument::Compact); };
        QCOMPARE(journal.toJson(), expected());

        const QStringList paths{QStringLiteral("Vellumix.exe"), QStringLiteral(u"插件/extra.dll"),
                                QStringLiteral(u"données/é\u00a0x.bin"), QStringLiteral(u"😀/a.b")};
        for (qsizetype i = 0; i < paths.size(); ++i) {
            journal.appendEntry(paths[i], i % 2 == 0);
            QCOMPARE(journal.toJson(), expected());
        }
        const QJsonArray entries = journal.object().value(QStringLiteral("entries")).toArray();
        QCOMPARE(entries.last(), QJsonValue(QJsonObject{{QStringLiteral("path"), paths.last()},
                                                        {QStringLiteral("hadOld"), false}}));

        journal.setState(JournalState::starting);
        QCOMPARE(journalState(journal.object()), JournalState::starting);
        QCOMPARE(journal.toJson(), expected());
        QCOMPARE(failureOf([&] { orThrow(writeTransactionJournal(m_root, journal)); }), kNoFailure);
        QCOMPARE(testsupport::readFile(journalPath()), expected());
    }

    // The start-up's look at the journal: what the updater wrote, read only as a regular file;
    // anything else is no journal.
    void peekedJournal_data()
    {
        QTest::addColumn<QString>("stands"); // at the journal's name: "file", "link", "folder"
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("token");
        QTest::addColumn<int>("sequence");
        QTest::addColumn<QStringList>("entries"); // path, then "old" or "new"
        const QByteArray written =
            "{\"entries\":[{\"hadOld\":true,\"path\":\"Vellumix.exe\"},{\"path\":\"lib/a.dll\"},7],"
            "\"sequence\":3,\"state\":\"starting\",\"token\":\"t-1\",\"version\":\"3.0\"}";
        const QStringList entries{QStringLiteral("Vellumix.exe"), QStringLiteral("old"),
                                  QStringLiteral("lib/a.dll"), QStringLiteral("new"),
                                  QString(), QStringLiteral("new")};
        QTest::newRow("written") << "file" << written << "starting" << "t-1" << 3 << entries;
        QTest::newRow("members of other types")
            << "file" << QByteArray("{\"state\":1,\"token\":[],\"sequence\":\"3\",\"entries\":{}}")
            << "" << "" << 0 << QStringList();
        QTest::newRow("damaged") << "file" << QByteArray("{\"state\":\"starting\"") << "" << ""
                                 << 0 << QStringList();
        QTest::newRow("link to a journal") << "link" << written << "" << "" << 0 << QStringList();
        QTest::newRow("folder") << "folder" << QByteArray() << "" << "" << 0 << QStringList();
    }

    void peekedJournal()
    {
        QFETCH(QString, stands);
        QFETCH(QByteArray, contents);
        QFETCH(QString, state);
        QFETCH(QString, token);
        QFETCH(int, sequence);
        QFETCH(QStringList, entries);
        if (stands == u"file")
            putJournal(contents);
        if (stands == u"link") {
            testsupport::writeFile(m_root, QStringLiteral("elsewhere.json"), contents);
            QVERIFY(QDir().mkpath(m_root + QStringLiteral("/.vellumix-update")));
            QVERIFY(QFile::link(m_root + QStringLiteral("/elsewhere.json"), journalPath()));
        }
        if (stands == u"folder")
            QVERIFY(QDir().mkpath(journalPath()));
        const TransactionJournal journal =
            peekTransactionJournal(m_root + QStringLiteral("/.vellumix-update"));
        QCOMPARE(journalState(journal), state);
        QCOMPARE(journalToken(journal), token);
        QCOMPARE(journalSequence(journal), sequence);
        QCOMPARE(journalVersion(journal), sequence ? QStringLiteral("3.0") : QString());
        QStringList read;
        for (const JournalEntry &entry : journalEntries(journal))
            read << entry.path << QString::fromLatin1(entry.hadOld ? "old" : "new");
        QCOMPARE(read, entries);
    }

    // The installed record: the exact bytes the updater writes, and what the client accepts.
    void installedRecord_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<int>("sequence"); // 0: no record
        QTest::addColumn<QString>("version");
        QTest::newRow("as written") << QByteArray("{\n    \"sequence\": 12,\n    \"version\": \"1.2\"\n}\n")
                                    << 12 << "1.2";
        QTest::newRow("sequence 0") << QByteArray("{\"sequence\":0,\"version\":\"1\"}") << 0 << "";
        QTest::newRow("above the largest") << QByteArray("{\"sequence\":10000000}") << 0 << "";
        QTest::newRow("sequence as text") << QByteArray("{\"sequence\":\"12\"}") << 0 << "";
        QTest::newRow("no version") << QByteArray("{\"sequence\":9999999}") << 9999999 << "";
        QTest::newRow("damaged") << QByteArray("{\"sequence\":12") << 0 << "";
    }

    void installedRecord()
    {
        QFETCH(QByteArray, contents);
        QFETCH(int, sequence);
        QFETCH(QString, version);
        const QString work = m_root + QStringLiteral("/.vellumix-update");
        testsupport::writeFile(work, QStringLiteral("installed.json"), contents);
        const std::optional<InstalledRecord> record = readInstalledRecord(work);
        QCOMPARE(record.has_value(), sequence != 0);
        if (!record)
            return;
        QCOMPARE(record->sequence, sequence);
        QCOMPARE(record->version, version);
        QCOMPARE(failureOf([&] { orThrow(writeInstalledRecord(work, *record)); }), kNoFailure);
        if (qstrcmp(QTest::currentDataTag(), "as written") == 0)
            QCOMPARE(testsupport::readFile(work + QStringLiteral("/installed.json")), contents);
    }

    // The health file: the exact bytes of a confirmation, and what confirms a start.
    void healthRecord_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<bool>("confirms"); // the start of "2.0" with the token "t"
        QTest::addColumn<QString>("shown"); // the version as the client shows it
        QTest::newRow("confirmation") << QByteArray("{\"token\":\"t\",\"version\":\"2.0\"}") << true
                                      << "2.0";
        QTest::newRow("other token") << QByteArray("{\"token\":\"u\",\"version\":\"2.0\"}") << false
                                     << "2.0";
        QTest::newRow("version as a number") << QByteArray("{\"token\":\"t\",\"version\":2}")
                                             << false << "2";
        QTest::newRow("no version") << QByteArray("{\"token\":\"t\"}") << false << "";
        QTest::newRow("array") << QByteArray("[\"t\",\"2.0\"]") << false << "";
    }

    void healthRecord()
    {
        QFETCH(QByteArray, contents);
        QFETCH(bool, confirms);
        QFETCH(QString, shown);
        const QString work = m_root + QStringLiteral("/.vellumix-update");
        testsupport::writeFile(work, QStringLiteral("health.json"), contents);
        const QString token = QStringLiteral("t");
        const QString version = QStringLiteral("2.0");
        QCOMPARE(healthConfirmed(contents, token, version), confirms);
        bool confirmed = !confirms;
        QCOMPARE(failureOf([&] { confirmed = orThrow(healthFileConfirms(work, token, version)); }), kNoFailure);
        QCOMPARE(confirmed, confirms);
        const HealthRecord read = readHealthRecord(work);
        QCOMPARE(read.confirms(token, version), confirms);
        QCOMPARE(read.versionText(), shown);

        QCOMPARE(failureOf([&] { orThrow(writeHealthRecord(work, HealthRecord(token, version))); }), kNoFailure);
        QCOMPARE(testsupport::readFile(work + QStringLiteral("/health.json")),
                 QByteArray("{\"token\":\"t\",\"version\":\"2.0\"}"));
        QVERIFY(orThrow(healthFileConfirms(work, token, version)));
    }

    // The start-up never reads a health file through a link; the probe refuses it.
    void healthFileThroughALink()
    {
        const QString work = m_root + QStringLiteral("/.vellumix-update");
        testsupport::writeFile(m_root, QStringLiteral("elsewhere.json"),
                               "{\"token\":\"t\",\"version\":\"2.0\"}");
        QVERIFY(QDir().mkpath(work));
        QVERIFY(QFile::link(m_root + QStringLiteral("/elsewhere.json"),
                            work + QStringLiteral("/health.json")));
        QVERIFY(readHealthRecord(work).token().isEmpty());
        QCOMPARE(failureOf([&] { orThrow(healthFileConfirms(work, QStringLiteral("t"), QStringLiteral("2.0"))); }),
                 Msg::workDirectoryHasLink);
    }
};

QTEST_GUILESS_MAIN(JournalTest)
#include "tst_journal.moc"
