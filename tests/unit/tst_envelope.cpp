// The signed envelope: its size bound before any parsing, the lenient base64 of its members, and
// the signature over the exact payload bytes.
#include "manifest.h"
#include "messages.h"
#include "signing.h"
#include "testsupport.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

using namespace vellumix;
using testsupport::envelopeOf;
using testsupport::failureOf;
using testsupport::kNoFailure;
using testsupport::SignatureScheme;
using testsupport::signPayload;

namespace {

QByteArray jsonObjectText(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray envelopeWithMembers(const QString &payloadText, const QString &signatureText)
{
    return jsonObjectText({{QStringLiteral("payload"), payloadText},
                           {QStringLiteral("signature"), signatureText}});
}

QString base64Text(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toBase64());
}

// Base64 text with a line break after every `width` characters.
QString brokenIntoLines(const QString &text, int width, const QString &lineBreak)
{
    QString out;
    for (qsizetype i = 0; i < text.size(); i += width)
        out += text.mid(i, width) + lineBreak;
    return out;
}

// The same envelope, grown to exactly `size` bytes by an ignored member.
QByteArray paddedTo(const QByteArray &envelope, qsizetype size)
{
    QByteArray padded = envelope.chopped(1) + ",\"padding\":\"";
    padded += QByteArray(size - padded.size() - 2, 'x');
    padded += "\"}";
    Q_ASSERT(padded.size() == size);
    return padded;
}

} // namespace

class EnvelopeTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;
    QString m_otherKey;
    // A payload that is not even a manifest: this layer never looks inside it.
    const QByteArray m_payload = "{\"any\":\"bytes\",\"n\":1}";

private slots:
    void initTestCase()
    {
        VELLUMIX_REQUIRE_DEV_SIGNING_KEY();
        m_otherKey = m_tmp.filePath(QStringLiteral("other.pem"));
        testsupport::generateSigningKey(m_otherKey);
    }

    void boundComesBeforeParsing_data()
    {
        QTest::addColumn<QByteArray>("envelope");
        QTest::addColumn<QString>("expected");
        const QByteArray valid = testsupport::signedEnvelope(m_payload);
        QTest::newRow("valid, exactly 8 MiB") << paddedTo(valid, kManifestMaxBytes) << kNoFailure;
        QTest::newRow("valid, one byte more")
            << paddedTo(valid, kManifestMaxBytes + 1) << Msg::manifestTooLarge;
        QTest::newRow("not JSON, one byte more")
            << QByteArray(kManifestMaxBytes + 1, '[') << Msg::manifestTooLarge;
        QTest::newRow("not JSON, exactly 8 MiB")
            << QByteArray(kManifestMaxBytes, '[') << Msg::signatureRejected;
    }

    void boundComesBeforeParsing()
    {
        QFETCH(QByteArray, envelope);
        QFETCH(QString, expected);
        QByteArray payload;
        QCOMPARE(failureOf([&] { payload = orThrow(openSignedEnvelope(envelope)); }), expected);
        if (expected == kNoFailure)
            QCOMPARE(payload, m_payload);
    }

    void acceptedEncodings_data()
    {
        QTest::addColumn<QByteArray>("envelope");
        const QByteArray signature = signPayload(m_payload);
        const QString payload64 = base64Text(m_payload);
        const QString signature64 = base64Text(signature);
        auto unpadded = [](QString text) {
            text.remove(u'=');
            return text;
        };
        QTest::newRow("as written by the tools") << envelopeOf(m_payload, signature);
        QTest::newRow("lines of 76, LF")
            << envelopeWithMembers(brokenIntoLines(payload64, 76, QStringLiteral("\n")),
                                   brokenIntoLines(signature64, 76, QStringLiteral("\n")));
        QTest::newRow("lines of 64, CRLF")
            << envelopeWithMembers(brokenIntoLines(payload64, 64, QStringLiteral("\r\n")),
                                   brokenIntoLines(signature64, 64, QStringLiteral("\r\n")));
        QTest::newRow("no padding")
            << envelopeWithMembers(unpadded(payload64), unpadded(signature64));
        QTest::newRow("characters outside the alphabet are skipped")
            << envelopeWithMembers(QStringLiteral(u" *中\t") + payload64,
                                   signature64.left(10) + QStringLiteral(u"!é ") + signature64.mid(10));
        QTest::newRow("other members and order ignored")
            << jsonObjectText({{QStringLiteral("signature"), signature64},
                               {QStringLiteral("comment"), QStringLiteral("ignored")},
                               {QStringLiteral("payload"), payload64}});
        QTest::newRow("indented envelope")
            << QJsonDocument(QJsonDocument::fromJson(envelopeOf(m_payload, signature)).object())
                   .toJson(QJsonDocument::Indented);
    }

    void acceptedEncodings()
    {
        QFETCH(QByteArray, envelope);
        QByteArray payload;
        QCOMPARE(failureOf([&] { payload = orThrow(openSignedEnvelope(envelope)); }), kNoFailure);
        QCOMPARE(payload, m_payload);
    }

    void refusedSignatures_data()
    {
        QTest::addColumn<QByteArray>("envelope");
        const QByteArray signature = signPayload(m_payload);
        const QByteArray reserialised =
            QJsonDocument(QJsonDocument::fromJson(m_payload).object()).toJson(QJsonDocument::Indented);
        QByteArray flipped = signature;
        flipped[200] = char(flipped[200] ^ 0x01);

        QTest::newRow("empty envelope") << QByteArray();
        QTest::newRow("not JSON") << QByteArray("payload=abc");
        QTest::newRow("JSON array") << QByteArray("[") + envelopeOf(m_payload, signature) + "]";
        QTest::newRow("no payload")
            << jsonObjectText({{QStringLiteral("signature"), base64Text(signature)}});
        QTest::newRow("no signature")
            << jsonObjectText({{QStringLiteral("payload"), base64Text(m_payload)}});
        QTest::newRow("payload not a string")
            << jsonObjectText({{QStringLiteral("payload"), QJsonObject{{QStringLiteral("a"), 1}}},
                               {QStringLiteral("signature"), base64Text(signature)}});
        QTest::newRow("members swapped") << envelopeOf(signature, m_payload);
        QTest::newRow("PSS padding")
            << envelopeOf(m_payload, signPayload(m_payload, SignatureScheme::PssSha256));
        QTest::newRow("SHA-1 digest")
            << envelopeOf(m_payload, signPayload(m_payload, SignatureScheme::Pkcs1Sha1));
        QTest::newRow("SHA-384 digest")
            << envelopeOf(m_payload, signPayload(m_payload, SignatureScheme::Pkcs1Sha384));
        QTest::newRow("another key")
            << envelopeOf(m_payload,
                          signPayload(m_payload, SignatureScheme::Pkcs1Sha256, m_otherKey));
        QTest::newRow("re-serialised payload") << envelopeOf(reserialised, signature);
        QTest::newRow("payload with one more space") << envelopeOf(m_payload + ' ', signature);
        QTest::newRow("one bit of the signature flipped") << envelopeOf(m_payload, flipped);
        QTest::newRow("signature one byte short") << envelopeOf(m_payload, signature.chopped(1));
        QTest::newRow("signature with a leading zero byte")
            << envelopeOf(m_payload, QByteArray(1, '\0') + signature);
        QTest::newRow("empty signature") << envelopeOf(m_payload, QByteArray());
    }

    void refusedSignatures()
    {
        QFETCH(QByteArray, envelope);
        QCOMPARE(failureOf([&] { orThrow(openSignedEnvelope(envelope)); }), Msg::signatureRejected);
        // A payload that fails the signature is never looked at: the whole load gives the same text.
        QCOMPARE(failureOf([&] { orThrow(loadUpdateManifest(envelope)); }), Msg::signatureRejected);
    }

    void verifyAnswersWithoutThrowing()
    {
        const QByteArray signature = signPayload(m_payload);
        QVERIFY(verifyPayloadSignature(m_payload, signature));
        QVERIFY(!verifyPayloadSignature(m_payload + 'x', signature));
        QVERIFY(!verifyPayloadSignature(m_payload, QByteArray()));
        QVERIFY(!verifyPayloadSignature(QByteArray(), QByteArray(384, '\xff')));
    }

    void anotherKeyCanBeGivenExplicitly()
    {
        const QByteArray envelope =
            envelopeOf(m_payload, signPayload(m_payload, SignatureScheme::Pkcs1Sha256, m_otherKey));
        const UpdateSigningKey other{testsupport::modulusHexOf(m_otherKey)};
        QCOMPARE(orThrow(openSignedEnvelope(envelope, other)), m_payload);
        QCOMPARE(failureOf([&] { orThrow(openSignedEnvelope(envelope)); }), Msg::signatureRejected);
        QCOMPARE(failureOf([&] { orThrow(openSignedEnvelope(testsupport::signedEnvelope(m_payload), other)); }),
                 Msg::signatureRejected);
        QCOMPARE(compiledInSigningKey().modulusHex,
                 testsupport::modulusHexOf(testsupport::devSigningKey()));
        // A key that does not decode to a modulus verifies nothing.
        QVERIFY(!verifyPayloadSignature(m_payload, signPayload(m_payload),
                                        UpdateSigningKey{QByteArray("not hex")}));
    }
};

QTEST_GUILESS_MAIN(EnvelopeTest)
#include "tst_envelope.moc"
