// The delta codec: round trips, the frames a decoder must refuse, and that the decoder's result
// does not depend on how the input is cut into pieces.
#include "zstddelta.h"

#include <QRandomGenerator>
#include <QTest>

using namespace vellumix;

Q_DECLARE_METATYPE(vellumix::DeltaError)

namespace {

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (char &c : bytes)
        c = char(generator.generate() & 0xff);
    return bytes;
}

QByteArray edited(QByteArray bytes, qsizetype at, qsizetype removed, const QByteArray &inserted)
{
    return bytes.remove(at, removed).insert(at, inserted);
}

// A frame header (magic, no content size, no checksum) whose window descriptor asks for 2^log
// bytes, then the start of a block: nothing a decoder may allocate for.
QByteArray frameAskingForWindow(int log)
{
    QByteArray frame("\x28\xb5\x2f\xfd\x00", 5);
    frame.append(char((log - 10) << 3));
    frame.append(QByteArray("\x01\x00\x00", 3));
    return frame;
}

struct Decoded
{
    DeltaStatus status;
    QByteArray output;
    qint64 peakMemory = 0;
};

// Feeds `frame` in pieces of `piece` bytes (0: whole) and ends the decoding.
Decoded decode(const QByteArray &base, const QByteArray &frame, qint64 expected, qsizetype piece,
               int limit = kDeltaDefaultWindowLogLimit)
{
    Decoded result;
    DeltaDecoder decoder(base, expected, limit);
    const auto sink = [&](QByteArrayView out) {
        result.output.append(out);
        return true;
    };
    const qsizetype step = piece > 0 ? piece : qMax<qsizetype>(frame.size(), 1);
    for (qsizetype at = 0; at < frame.size() && result.status.ok(); at += step) {
        result.status =
            decoder.feed(QByteArrayView(frame).sliced(at, qMin(step, frame.size() - at)), sink);
        result.peakMemory = qMax(result.peakMemory, decoder.memoryUsage());
    }
    // A failure of feed() stays: more input changes nothing, and finish() reports it.
    if (!result.status.ok()
        && (decoder.feed("x", sink).error != result.status.error
            || decoder.finish().error != result.status.error))
        result.status = {DeltaError::None, QStringLiteral("failure did not persist")};
    if (result.status.ok())
        result.status = decoder.finish();
    return result;
}

const QByteArray kBase = randomBytes(1 << 20, 1);

} // namespace

class ZstdDeltaTest : public QObject
{
    Q_OBJECT
private slots:
    void roundTrip_data();
    void roundTrip();
    void refused_data();
    void refused();
    void wrongBase();
    void damagedFramesStayWithinBounds();
    void hostileWindowAllocatesNothing();
    void memoryFollowsTargetNotBase();
    void windowLimitOfMaking_data();
    void windowLimitOfMaking();
    void refusedSinkStops();
};

void ZstdDeltaTest::roundTrip_data()
{
    QTest::addColumn<QByteArray>("base");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<qsizetype>("maxFrame");

    // Random bytes do not compress by themselves: a small frame shows that the base was used.
    QByteArray patched = kBase;
    for (qsizetype at : {100, 300000, 700001, (1 << 20) - 5})
        patched[at] = char(~patched[at]);
    QTest::newRow("bytes changed") << kBase << patched << qsizetype(400);
    QTest::newRow("insert") << kBase << edited(kBase, 500000, 0, randomBytes(10000, 2))
                            << qsizetype(10400);
    QTest::newRow("delete") << kBase << edited(kBase, 200000, 50000, {}) << qsizetype(400);
    QTest::newRow("moved block") << kBase << edited(kBase, 0, 300000, {}) + kBase.left(300000)
                                 << qsizetype(400);
    QTest::newRow("unrelated base") << kBase << randomBytes(100000, 3) << qsizetype(100400);
    QTest::newRow("empty base") << QByteArray() << QByteArray("new content\n").repeated(1000)
                                << qsizetype(200);
    QTest::newRow("empty target") << kBase << QByteArray() << qsizetype(40);
    QTest::newRow("both empty") << QByteArray() << QByteArray() << qsizetype(40);
}

void ZstdDeltaTest::roundTrip()
{
    QFETCH(QByteArray, base);
    QFETCH(QByteArray, target);
    QFETCH(qsizetype, maxFrame);

    const DeltaResult made = makeDelta(base, target);
    QVERIFY2(made.status.ok(), qPrintable(made.status.detail));
    QVERIFY2(made.frame.size() <= maxFrame, qPrintable(QString::number(made.frame.size())));

    const DeltaApplyResult applied = applyDelta(base, made.frame, target.size());
    QVERIFY2(applied.status.ok(), qPrintable(applied.status.detail));
    QCOMPARE(applied.output, target);
    for (qsizetype piece : {1, 7, 4096}) {
        const Decoded streamed = decode(base, made.frame, target.size(), piece);
        QVERIFY2(streamed.status.ok(), qPrintable(streamed.status.detail));
        QCOMPARE(streamed.output, target);
    }
}

void ZstdDeltaTest::refused_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<qint64>("expected");
    QTest::addColumn<int>("limit");
    QTest::addColumn<QList<DeltaError>>("errors");

    const QByteArray target = edited(kBase, 1000, 10, "changed");
    const QByteArray frame = makeDelta(kBase, target).frame;
    const qint64 size = target.size();
    QByteArray flipped = frame;
    flipped[frame.size() / 2] = char(flipped[frame.size() / 2] ^ 0x5a);
    const QList<DeltaError> corrupt{DeltaError::Corrupt, DeltaError::ChecksumMismatch};

    QTest::newRow("cut in the header")
        << frame.left(3) << size << 27 << QList{DeltaError::Truncated};
    QTest::newRow("cut before the end")
        << frame.chopped(5) << size << 27 << QList{DeltaError::Truncated};
    QTest::newRow("no input") << QByteArray() << size << 27 << QList{DeltaError::Truncated};
    QTest::newRow("garbage") << randomBytes(5000, 4) << size << 27 << corrupt;
    QTest::newRow("legacy format") << QByteArray("\x27\xb5\x2f\xfd\x00\x00\x00\x00", 8) << size
                                   << 27 << QList{DeltaError::Corrupt};
    QTest::newRow("skippable frame") << QByteArray("\x50\x2a\x4d\x18\x00\x00\x00\x00", 8) + frame
                                     << size << 27 << QList{DeltaError::Corrupt};
    QTest::newRow("byte flipped") << flipped << size << 27 << corrupt;
    QTest::newRow("window 2^31 asked")
        << frameAskingForWindow(31) << size << 27 << QList{DeltaError::WindowTooLarge};
    QTest::newRow("window 2^28 asked, limit 2^27")
        << frameAskingForWindow(28) << size << 27 << QList{DeltaError::WindowTooLarge};
    QTest::newRow("real frame, limit 2^16")
        << frame << size << 16 << QList{DeltaError::WindowTooLarge};
    QTest::newRow("one byte more than expected")
        << frame << size - 1 << 27 << QList{DeltaError::OutputTooLarge};
    QTest::newRow("expected empty")
        << frame << qint64(0) << 27 << QList{DeltaError::OutputTooLarge};
    QTest::newRow("one byte less than expected")
        << frame << size + 1 << 27 << QList{DeltaError::SizeMismatch};
    QTest::newRow("a byte after the end")
        << frame + 'x' << size << 27 << QList{DeltaError::TrailingData};
    QTest::newRow("a second frame")
        << frame + frame << size << 27 << QList{DeltaError::TrailingData};
    QTest::newRow("negative expected size")
        << frame << qint64(-1) << 27 << QList{DeltaError::InvalidArgument};
    QTest::newRow("limit out of range")
        << frame << size << 40 << QList{DeltaError::InvalidArgument};
}

void ZstdDeltaTest::refused()
{
    QFETCH(QByteArray, frame);
    QFETCH(qint64, expected);
    QFETCH(int, limit);
    QFETCH(QList<DeltaError>, errors);

    for (qsizetype piece : {0, 1}) {
        const Decoded decoded = decode(kBase, frame, expected, piece, limit);
        QVERIFY2(errors.contains(decoded.status.error),
                 qPrintable(deltaErrorName(decoded.status.error) + QStringLiteral(": ")
                            + decoded.status.detail));
        QVERIFY(decoded.output.size() <= qMax<qint64>(expected, 0));
    }
    const DeltaApplyResult applied = applyDelta(kBase, frame, expected, limit);
    QVERIFY(errors.contains(applied.status.error));
    QVERIFY(applied.output.isEmpty());
}

void ZstdDeltaTest::wrongBase()
{
    const QByteArray target = edited(kBase, 4000, 100, {});
    QByteArray otherBase = kBase;
    otherBase[4000 + 300] = char(~otherBase[4000 + 300]);
    // With the frame's checksum the decoder notices; without it the output differs, and only
    // the caller's digest of the content tells.
    for (bool checksum : {true, false}) {
        DeltaOptions options;
        options.checksum = checksum;
        const QByteArray frame = makeDelta(kBase, target, options).frame;
        const DeltaApplyResult applied = applyDelta(otherBase, frame, target.size());
        if (checksum)
            QCOMPARE(applied.status.error, DeltaError::ChecksumMismatch);
        else
            QVERIFY(!applied.status.ok() || applied.output != target);
    }
}

// Frames damaged at random: each is refused or decodes to exactly the expected size, and the
// output never goes past it (run under the sanitizers, also that nothing reads out of bounds).
void ZstdDeltaTest::damagedFramesStayWithinBounds()
{
    const QByteArray target = edited(kBase, 9000, 3000, randomBytes(2000, 8)).left(300000);
    QRandomGenerator generator(9);
    for (bool checksum : {true, false}) {
        DeltaOptions options;
        options.checksum = checksum;
        const QByteArray frame = makeDelta(kBase, target, options).frame;
        for (int round = 0; round < 300; ++round) {
            QByteArray damaged = frame;
            const qsizetype at = generator.bounded(damaged.size());
            switch (round % 3) {
            case 0:
                damaged[at] = char(generator.generate());
                break;
            case 1:
                damaged.insert(at, randomBytes(1 + generator.bounded(40), round));
                break;
            case 2:
                damaged.remove(at, 1 + generator.bounded(40));
                break;
            }
            const qint64 expected = target.size() - 100 + generator.bounded(200);
            const Decoded decoded = decode(kBase, damaged, expected, 1 + generator.bounded(5000));
            QVERIFY(decoded.output.size() <= expected);
            if (decoded.status.ok())
                QCOMPARE(decoded.output.size(), expected);
        }
    }
}

void ZstdDeltaTest::hostileWindowAllocatesNothing()
{
    DeltaDecoder decoder(kBase, 1 << 30);
    const qint64 before = decoder.memoryUsage();
    QCOMPARE(decoder.feed(frameAskingForWindow(31), {}).error, DeltaError::WindowTooLarge);
    QVERIFY(decoder.memoryUsage() < before + 64 * 1024);
}

void ZstdDeltaTest::memoryFollowsTargetNotBase()
{
    QByteArray base = randomBytes(8 << 20, 5);
    const QByteArray target = base.mid(3 << 20, 1 << 20);
    const DeltaResult made = makeDelta(base, target);
    QVERIFY(made.status.ok());
    QCOMPARE(made.windowLog, 24);
    const Decoded decoded = decode(base, made.frame, target.size(), 64 * 1024);
    QVERIFY(decoded.status.ok());
    QCOMPARE(decoded.output, target);
    QVERIFY2(decoded.peakMemory < target.size() + (1 << 20),
             qPrintable(QString::number(decoded.peakMemory)));
}

void ZstdDeltaTest::windowLimitOfMaking_data()
{
    QTest::addColumn<qsizetype>("baseSize");
    QTest::addColumn<qsizetype>("targetSize");
    QTest::addColumn<int>("level");
    QTest::addColumn<int>("limit");
    QTest::addColumn<DeltaError>("error");

    QTest::newRow("target at the limit")
        << qsizetype(100) << qsizetype(4096) << 19 << 12 << DeltaError::None;
    QTest::newRow("target above") << qsizetype(100) << qsizetype(4097) << 19 << 12
                                  << DeltaError::TooLarge;
    QTest::newRow("base above") << qsizetype(4097) << qsizetype(100) << 19 << 12
                                << DeltaError::TooLarge;
    QTest::newRow("level 0") << qsizetype(100) << qsizetype(100) << 0 << 27
                             << DeltaError::InvalidArgument;
    QTest::newRow("limit 9") << qsizetype(100) << qsizetype(100) << 19 << 9
                             << DeltaError::InvalidArgument;
}

void ZstdDeltaTest::windowLimitOfMaking()
{
    QFETCH(qsizetype, baseSize);
    QFETCH(qsizetype, targetSize);
    QFETCH(int, level);
    QFETCH(int, limit);
    QFETCH(DeltaError, error);

    const QByteArray base = randomBytes(baseSize, 6);
    const QByteArray target = randomBytes(targetSize, 7);
    const DeltaResult made = makeDelta(base, target, DeltaOptions{level, limit, true});
    QCOMPARE(made.status.error, error);
    if (error == DeltaError::None) {
        QVERIFY(made.windowLog <= limit);
        const DeltaApplyResult applied = applyDelta(base, made.frame, targetSize, limit);
        QVERIFY2(applied.status.ok(), qPrintable(applied.status.detail));
        QCOMPARE(applied.output, target);
    } else {
        QVERIFY(made.frame.isEmpty());
    }
}

void ZstdDeltaTest::refusedSinkStops()
{
    const QByteArray frame = makeDelta({}, kBase).frame;
    DeltaDecoder decoder({}, kBase.size());
    qint64 handed = 0;
    const DeltaStatus status = decoder.feed(frame, [&](QByteArrayView out) {
        handed += out.size();
        return false;
    });
    QCOMPARE(status.error, DeltaError::OutputRefused);
    QCOMPARE(decoder.outputBytes(), handed);
    QCOMPARE(decoder.finish().error, DeltaError::OutputRefused);
}

QTEST_GUILESS_MAIN(ZstdDeltaTest)
#include "tst_zstddelta.moc"
