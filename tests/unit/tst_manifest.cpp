// The payload rules of a signed manifest: the release gate, the file list, each entry's path,
// digests and sizes, the total, the required programs, and which rule speaks first.
//
// Payloads are written as raw JSON text, because the rules depend on how a value is spelled
// (1.0 against 1, "1" against 1, a digest ending in a line feed); each is then signed with the
// development key, so only the payload rules can refuse it.
#include "manifest.h"
#include "messages.h"
#include "signing.h"
#include "testsupport.h"

#include <QTest>

using namespace vellumix;
using testsupport::failureOf;
using testsupport::kNoFailure;

namespace {

// An ordered list of members with their raw JSON values; a null value drops the member.
using Members = QList<QPair<QByteArray, QByteArray>>;

QByteArray objectText(const Members &members)
{
    QByteArrayList parts;
    for (const auto &[name, value] : members) {
        if (!value.isNull())
            parts << '"' + name + "\":" + value;
    }
    return '{' + parts.join(',') + '}';
}

Members with(Members members, const QByteArray &name, const QByteArray &rawValue)
{
    for (auto &member : members) {
        if (member.first == name) {
            member.second = rawValue;
            return members;
        }
    }
    members.append({name, rawValue});
    return members;
}

QByteArray quoted(const QByteArray &text)
{
    return '"' + text + '"';
}

QByteArray digestOf(const QByteArray &seed)
{
    return testsupport::sha256Hex(seed).toLatin1();
}

Members entry(const QByteArray &path, qint64 size = 1)
{
    return {
        {"path", quoted(path)},
        {"sha256", quoted(digestOf(path))},
        {"packedSha256", quoted(digestOf("packed " + path))},
        {"size", QByteArray::number(size)},
        {"packedSize", QByteArray::number(qMax<qint64>(size, 4))},
    };
}

QByteArray entryText(const QByteArray &path, qint64 size = 1)
{
    return objectText(entry(path, size));
}

QByteArray arrayText(const QByteArrayList &elements)
{
    return '[' + elements.join(',') + ']';
}

const QByteArray kMain = entryText("Vellumix.exe");
const QByteArray kUpdater = entryText("VellumixUpdater.exe");

// The programs first, then `more`.
QByteArray filesText(const QByteArrayList &more = {})
{
    return arrayText(QByteArrayList{kMain, kUpdater} + more);
}

Members validPayload()
{
    return {
        {"schema", "1"},
        {"platform", "\"windows-x64\""},
        {"sequence", "7"},
        {"version", "\"2.4.1\""},
        {"notes", "\"bug fixes\""},
        {"files", filesText()},
    };
}

QByteArray payloadWith(const QByteArray &name, const QByteArray &rawValue)
{
    return objectText(with(validPayload(), name, rawValue));
}

QByteArray entryWith(const QByteArray &path, const QByteArray &name, const QByteArray &rawValue)
{
    return objectText(with(entry(path), name, rawValue));
}

QString loadFailure(const QByteArray &payload)
{
    return failureOf([&] { orThrow(loadUpdateManifest(testsupport::signedEnvelope(payload))); });
}

} // namespace

class ManifestTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { VELLUMIX_REQUIRE_DEV_SIGNING_KEY(); }

    void releaseGate_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("expected");
        const QString refused = Msg::unsupportedUpdate;
        auto row = [](const char *name, const QByteArray &payload, const QString &expected) {
            QTest::newRow(name) << payload << expected;
        };
        row("valid", objectText(validPayload()), kNoFailure);
        row("payload not JSON", "schema=1", refused);
        row("payload a JSON array", '[' + objectText(validPayload()) + ']', refused);

        row("schema 1.0", payloadWith("schema", "1.0"), kNoFailure);
        row("schema 1e0", payloadWith("schema", "1e0"), kNoFailure);
        row("schema \"1\"", payloadWith("schema", "\"1\""), refused);
        row("schema 2.5", payloadWith("schema", "2.5"), refused);
        row("schema 1.5", payloadWith("schema", "1.5"), refused);
        row("schema 2", payloadWith("schema", "2"), refused);
        row("schema 0", payloadWith("schema", "0"), refused);
        row("schema 2^32+1", payloadWith("schema", "4294967297"), refused);
        row("schema true", payloadWith("schema", "true"), refused);
        row("schema missing", payloadWith("schema", QByteArray()), refused);

        row("platform capital W", payloadWith("platform", "\"Windows-x64\""), refused);
        row("platform with a space", payloadWith("platform", "\"windows-x64 \""), refused);
        row("platform in an array", payloadWith("platform", "[\"windows-x64\"]"), refused);
        row("platform missing", payloadWith("platform", QByteArray()), refused);

        row("sequence 0", payloadWith("sequence", "0"), refused);
        row("sequence 1", payloadWith("sequence", "1"), kNoFailure);
        row("sequence 9999999", payloadWith("sequence", "9999999"), kNoFailure);
        row("sequence 10000000", payloadWith("sequence", "10000000"), refused);
        row("sequence 2.5", payloadWith("sequence", "2.5"), refused);
        row("sequence 5.0", payloadWith("sequence", "5.0"), kNoFailure);
        row("sequence -1", payloadWith("sequence", "-1"), refused);
        row("sequence \"5\"", payloadWith("sequence", "\"5\""), refused);
        row("sequence 2^32+5", payloadWith("sequence", "4294967301"), refused);
        row("sequence missing", payloadWith("sequence", QByteArray()), refused);

        row("version of 60", payloadWith("version", quoted(QByteArray(60, '9'))), kNoFailure);
        row("version of 61", payloadWith("version", quoted(QByteArray(61, '9'))), refused);
        row("version 1.0.3-rc+2", payloadWith("version", "\"1.0.3-rc+2\""), kNoFailure);
        row("version with a space", payloadWith("version", "\"1.0 beta\""), refused);
        row("version with an underscore", payloadWith("version", "\"1.0_1\""), refused);
        row("version with a full-width digit", payloadWith("version", "\"1.\xef\xbc\x91\""), refused);
        row("version empty", payloadWith("version", "\"\""), refused);
        row("version missing", payloadWith("version", QByteArray()), refused);
        row("version a number", payloadWith("version", "1"), refused);
        row("version with one final LF", payloadWith("version", "\"1.0.0\\n\""), kNoFailure);
        row("version of 60 and a final LF",
            payloadWith("version", quoted(QByteArray(60, '9') + "\\n")), kNoFailure);
        row("version with two final LFs", payloadWith("version", "\"1.0.0\\n\\n\""), refused);
        row("version with a final CR", payloadWith("version", "\"1.0.0\\r\""), refused);
        row("version with a leading LF", payloadWith("version", "\"\\n1.0.0\""), refused);

        row("notes missing", payloadWith("notes", QByteArray()), kNoFailure);
        row("notes not a string", payloadWith("notes", "{\"a\":1}"), kNoFailure);
        row("notes long", payloadWith("notes", quoted(QByteArray(100000, 'n'))), kNoFailure);

        // The gate comes before the file list.
        row("bad schema and no files",
            objectText(with(with(validPayload(), "schema", "2"), "files", "[]")), refused);
    }

    void releaseGate()
    {
        QFETCH(QByteArray, payload);
        QFETCH(QString, expected);
        QCOMPARE(loadFailure(payload), expected);
    }

    void entries_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("expected");
        const QString list = Msg::fileListInvalid;
        const QString path = Msg::illegalOrDuplicatePath;
        const QString checks = Msg::fileChecksInvalid;
        const QString total = Msg::totalSizeExceeded;
        const QString programs = Msg::requiredProgramsMissing;
        auto row = [](const char *name, const QByteArray &payload, const QString &expected) {
            QTest::newRow(name) << payload << expected;
        };
        auto extra = [](const QByteArray &element) { return payloadWith("files", filesText({element})); };
        const QByteArray a = "lib/a.dll";

        row("files empty", payloadWith("files", "[]"), list);
        row("files missing", payloadWith("files", QByteArray()), list);
        row("files an object", payloadWith("files", kMain), list);
        row("files a string", payloadWith("files", "\"Vellumix.exe\""), list);

        row("path refused by the policy", extra(entryText("lib/../a.dll")), path);
        row("path with a backslash", extra(entryText("lib\\\\a.dll")), path);
        row("path missing", extra(entryWith(a, "path", QByteArray())), path);
        row("path not a string", extra(entryWith(a, "path", "5")), path);
        row("element a number", extra("5"), path);
        row("element null", extra("null"), path);
        row("element an array", extra("[" + entryText(a) + "]"), path);
        row("duplicate in other case",
            payloadWith("files", filesText({entryText("Lib/A.dll"), entryText("lib/a.dll")})), path);
        row("duplicate non-ASCII in other case",
            payloadWith("files", filesText({entryText("\xc3\x84.dll"), entryText("\xc3\xa4.dll")})),
            path);
        row("duplicate of a program in lower case", extra(entryText("vellumix.exe")), path);
        // Paths are one file when NTFS upper-cases them, unit by unit, to the same name.
        auto pair = [](const QByteArray &first, const QByteArray &second) {
            return payloadWith("files", filesText({entryText(first), entryText(second)}));
        };
        row("long s beside S", pair("\xc5\xbf.dll", "S.dll"), path);
        row("long s beside s", pair("s.dll", "\xc5\xbf.dll"), path);
        row("long s in a directory", pair("\xc5\xbfub/a.dll", "Sub/a.dll"), path);
        row("dotless i beside i", pair("\xc4\xb1.dll", "i.dll"), path);
        row("final sigma beside sigma", pair("\xcf\x82.dll", "\xcf\x83.dll"), path);
        row("Kelvin sign beside k", pair("\xe2\x84\xaa.dll", "k.dll"), kNoFailure);
        row("dotted capital I beside i", pair("\xc4\xb0.dll", "i.dll"), kNoFailure);
        row("sharp s beside capital sharp s", pair("\xc3\x9f.dll", "\xe1\xba\x9e.dll"), kNoFailure);
        row("sharp s beside SS", pair("\xc3\x9f.dll", "SS.dll"), kNoFailure);
        row("beyond the BMP in other case", pair("\xf0\x90\x90\x80.dll", "\xf0\x90\x90\xa8.dll"),
            kNoFailure);
        row("exact duplicate", extra(kMain), path);

        row("sha256 upper case", extra(entryWith(a, "sha256", quoted(digestOf(a).toUpper()))), checks);
        row("sha256 of 63", extra(entryWith(a, "sha256", quoted(digestOf(a).chopped(1)))), checks);
        row("sha256 of 65", extra(entryWith(a, "sha256", quoted(digestOf(a) + '0'))), checks);
        row("sha256 missing", extra(entryWith(a, "sha256", QByteArray())), checks);
        row("sha256 a number", extra(entryWith(a, "sha256", "1234")), checks);
        row("sha256 with one final LF",
            extra(entryWith(a, "sha256", quoted(digestOf(a) + "\\n"))), kNoFailure);
        row("sha256 with two final LFs",
            extra(entryWith(a, "sha256", quoted(digestOf(a) + "\\n\\n"))), checks);
        row("packedSha256 upper case",
            extra(entryWith(a, "packedSha256", quoted(digestOf(a).toUpper()))), checks);
        row("packedSha256 missing", extra(entryWith(a, "packedSha256", QByteArray())), checks);
        row("packedSha256 with one final LF",
            extra(entryWith(a, "packedSha256", quoted(digestOf(a) + "\\n"))), kNoFailure);

        row("size 0", extra(entryWith(a, "size", "0")), kNoFailure);
        row("size 536870912", extra(entryWith(a, "size", "536870912")), kNoFailure);
        row("size 536870913", extra(entryWith(a, "size", "536870913")), checks);
        row("size 536870912.9", extra(entryWith(a, "size", "536870912.9")), kNoFailure);
        row("size -1", extra(entryWith(a, "size", "-1")), checks);
        row("size -0.5 truncates to 0", extra(entryWith(a, "size", "-0.5")), kNoFailure);
        row("size missing", extra(entryWith(a, "size", QByteArray())), checks);
        row("size a string", extra(entryWith(a, "size", "\"5\"")), checks);
        row("size 1e300", extra(entryWith(a, "size", "1e300")), checks);
        row("size -1e300", extra(entryWith(a, "size", "-1e300")), checks);
        row("size 2^64+5", extra(entryWith(a, "size", "18446744073709551621")), checks);
        row("packedSize 3", extra(entryWith(a, "packedSize", "3")), checks);
        row("packedSize 3.9", extra(entryWith(a, "packedSize", "3.9")), checks);
        row("packedSize 4", extra(entryWith(a, "packedSize", "4")), kNoFailure);
        row("packedSize 536870912", extra(entryWith(a, "packedSize", "536870912")), kNoFailure);
        row("packedSize 536870913", extra(entryWith(a, "packedSize", "536870913")), checks);
        row("packedSize missing", extra(entryWith(a, "packedSize", QByteArray())), checks);

        // Eight entries of 512 MiB make exactly 4 GiB; the packed sizes are not summed.
        QByteArrayList full;
        for (int i = 0; i < 8; ++i)
            full << entryText(i == 0 ? "Vellumix.exe" : i == 1 ? "VellumixUpdater.exe"
                                                               : "big" + QByteArray::number(i),
                              536870912);
        row("total exactly 4 GiB", payloadWith("files", arrayText(full)), kNoFailure);
        row("ninth entry of 0", payloadWith("files", arrayText(full + QByteArrayList{entryText(a, 0)})),
            kNoFailure);
        row("ninth entry of 1", payloadWith("files", arrayText(full + QByteArrayList{entryText(a, 1)})),
            total);
        row("total checked after the entry's own rules",
            payloadWith("files",
                        arrayText(full + QByteArrayList{entryWith(a, "sha256", "\"bad\"")})),
            checks);
        row("total breaks before a later bad path",
            payloadWith("files", arrayText(full + QByteArrayList{entryText(a), entryText("a/../b")})),
            total);

        row("main program in lower case only",
            payloadWith("files", arrayText({entryText("vellumix.exe"), kUpdater})), programs);
        row("main program in a subdirectory",
            payloadWith("files", arrayText({entryText("bin/Vellumix.exe"), kUpdater})), programs);
        row("updater missing", payloadWith("files", arrayText({kMain, entryText(a)})), programs);
        row("both missing", payloadWith("files", arrayText({entryText(a)})), programs);
        row("programs last", payloadWith("files", arrayText({entryText(a), kUpdater, kMain})),
            kNoFailure);

        // The first offending entry decides; within one entry the path speaks first.
        const QByteArray badDigest = entryWith("c.dll", "sha256", "\"bad\"");
        row("bad digest third, duplicate fifth",
            payloadWith("files", filesText({badDigest, entryText("d.dll"), entryText("C.DLL")})),
            checks);
        row("duplicate third, bad digest fifth",
            payloadWith("files",
                        arrayText({kMain, entryText("d.dll"), entryText("D.dll"), kUpdater,
                                   entryWith("e.dll", "size", "-5")})),
            path);
        row("bad path and bad digest in one entry",
            extra(objectText(with(with(entry("x"), "path", "\"a:b\""), "sha256", "\"bad\""))), path);
        row("bad entry before missing programs",
            payloadWith("files", arrayText({entryWith(a, "packedSize", "1")})), checks);
    }

    void entries()
    {
        QFETCH(QByteArray, payload);
        QFETCH(QString, expected);
        QCOMPARE(loadFailure(payload), expected);
    }

    void entryCount_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("expected");
        QTest::newRow("19,999") << 19999 << kNoFailure;
        QTest::newRow("20,000") << 20000 << Msg::fileListInvalid;
    }

    void entryCount()
    {
        QFETCH(int, count);
        QFETCH(QString, expected);
        QByteArrayList elements{kMain, kUpdater};
        for (int i = 2; i < count; ++i)
            elements << entryText("d" + QByteArray::number(i % 100) + "/f" + QByteArray::number(i));
        const QByteArray envelope = testsupport::signedEnvelope(payloadWith("files", arrayText(elements)));
        QVERIFY(envelope.size() <= kManifestMaxBytes);
        UpdateManifest manifest;
        QCOMPARE(failureOf([&] { manifest = orThrow(loadUpdateManifest(envelope)); }), expected);
        if (expected == kNoFailure)
            QCOMPARE(manifest.files.size(), count);
    }

    void recordHoldsWhatWasWritten()
    {
        const QByteArray payload = objectText({
            {"notes", "\"\xe4\xbf\xae\xe5\xa4\x8d\""},
            {"files", arrayText({entryWith("Lib/Ä.DLL", "size", "10.9"), kUpdater,
                                 entryWith("Vellumix.exe", "packedSize", "4.7")})},
            {"version", "\"1.0.3-rc+2\""},
            {"sequence", "42.0"},
            {"platform", "\"windows-x64\""},
            {"schema", "1"},
        });
        const QByteArray envelope = testsupport::signedEnvelope(payload);
        const UpdateManifest manifest = orThrow(loadUpdateManifest(envelope));
        QCOMPARE(manifest.version, QStringLiteral("1.0.3-rc+2"));
        QCOMPARE(manifest.notes, QStringLiteral(u"修复"));
        QCOMPARE(manifest.sequence, 42);
        QCOMPARE(manifest.envelope, envelope);
        QCOMPARE(manifest.files.size(), 3);
        const ManifestFile &first = manifest.files.at(0);
        QCOMPARE(first.path, QStringLiteral(u"Lib/Ä.DLL"));
        QCOMPARE(first.sha256, digestOf("Lib/Ä.DLL"));
        QCOMPARE(first.packedSha256, digestOf("packed Lib/Ä.DLL"));
        QCOMPARE(first.size, qint64(10));
        QCOMPARE(first.packedSize, qint64(4));
        QCOMPARE(manifest.files.at(1).path, QStringLiteral("VellumixUpdater.exe"));
        QCOMPARE(manifest.files.at(2).path, QStringLiteral("Vellumix.exe"));
        QCOMPARE(manifest.files.at(2).packedSize, qint64(4));
    }

    void finalLineFeedIsKept()
    {
        // The pattern lets it through; the record keeps it, so the digest matches no file later.
        const QByteArray payload = payloadWith(
            "files", filesText({entryWith("a.dll", "sha256", quoted(digestOf("a.dll") + "\\n"))}));
        const UpdateManifest manifest = orThrow(loadUpdateManifest(testsupport::signedEnvelope(payload)));
        QCOMPARE(manifest.files.at(2).sha256, digestOf("a.dll") + '\n');
    }

    void supportPayloadLoads()
    {
        // The helpers other tests build their stages with produce what the updater accepts.
        QList<testsupport::FileSpec> files = testsupport::requiredPrograms("x");
        files.append({QStringLiteral(u"数据/空.bin"), QByteArray()});
        const UpdateManifest manifest = orThrow(loadUpdateManifest(
            testsupport::signedEnvelope(testsupport::payloadFor(files, QStringLiteral("3.1"), 9))));
        QCOMPARE(manifest.version, QStringLiteral("3.1"));
        QCOMPARE(manifest.sequence, 9);
        QCOMPARE(manifest.files.size(), 3);
        QCOMPARE(manifest.files.at(2).size, qint64(0));
        QCOMPARE(manifest.files.at(2).sha256, testsupport::sha256Hex(QByteArray()).toLatin1());
    }
};

QTEST_GUILESS_MAIN(ManifestTest)
#include "tst_manifest.moc"
