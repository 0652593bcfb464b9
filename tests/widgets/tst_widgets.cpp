// The standard update interface: its schedule, what a quiet and an explicit check show for each
// kind of feed, the user's answers, and the texts it builds; against feed folders signed with the
// development key, on the offscreen platform.
#include "signing.h"
#include "testsupport.h"
#include "updatedialog.h"
#include "updateschedule.h"

#include <vellumix/softwareupdate.h>
#include <vellumix/translation.h>

#include <QAction>
#include <QApplication>
#include <QJsonObject>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTranslator>

using namespace Qt::StringLiterals;
using testsupport::feedFiles;
using testsupport::requiredPrograms;
using testsupport::writeFeed;
using vellumix::SoftwareUpdate;
using vellumix::UpdateDialog;

namespace {

constexpr qint64 kHour = 3600 * 1000;
constexpr qint64 kDay = 24 * kHour;

// The kinds of feed a check meets.
enum class Feed { NewRelease, Critical, NothingNew, Halted, Missing };

const QString kNotes = u"Version 2.0.0\n\n<b>not bold</b> <img src=\"http://example.com/x.png\">"_s;

QPushButton *buttonNamed(QWidget *window, const QString &name)
{
    for (QPushButton *button : window->findChildren<QPushButton *>()) {
        if (button->accessibleName() == name)
            return button;
    }
    return nullptr;
}

QString visibleTexts(QWidget *window)
{
    QStringList texts;
    for (QLabel *label : window->findChildren<QLabel *>()) {
        if (label->isVisible() && !label->text().isEmpty())
            texts.append(label->text());
    }
    return texts.join(u'\n');
}

} // namespace

class WidgetsTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    int m_installations = 0;

    // An installation of 1.0.0 and a feed of the given kind beside it.
    vellumix::SoftwareUpdateSettings installation(Feed feed)
    {
        const QString base = m_dir.filePath(u"installation-%1"_s.arg(++m_installations));
        for (const testsupport::FileSpec &file : requiredPrograms("1"))
            testsupport::writeFile(base + u"/root"_s, file.path, file.content);
        const QString feedDir = base + u"/feed"_s;
        QJsonObject members{{u"notes"_s, kNotes}};
        if (feed == Feed::Critical)
            members.insert(u"critical"_s, true);
        if (feed == Feed::Halted)
            members.insert(u"rollout"_s, QJsonObject{{u"percent"_s, 0}});
        if (feed == Feed::NothingNew)
            writeFeed(feedDir, feedFiles(requiredPrograms("1")), u"1.0.0"_s, 1);
        else if (feed != Feed::Missing)
            writeFeed(feedDir, feedFiles(requiredPrograms("2")), u"2.0.0"_s, 2, u"stable"_s, members);
        vellumix::SoftwareUpdateSettings settings;
        settings.client.feed = QUrl::fromLocalFile(feedDir);
        settings.client.programRoot = base + u"/root"_s;
        settings.client.builtInSequence = 1;
        settings.client.retries = 0;
        settings.installedVersion = u"1.0.0"_s;
        settings.applicationName = u"Vellumix"_s;
        return settings;
    }

    // Runs one check and waits for its end.
    static void checkOnce(SoftwareUpdate &update, bool explicitCheck)
    {
        QSignalSpy finished(&update, &SoftwareUpdate::checkFinished);
        if (explicitCheck)
            update.checkForUpdates();
        else
            update.checkInBackground();
        QVERIFY(finished.wait(20000));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        // The interface's record and the client's stage and cache, inside the test's folder.
        qputenv("XDG_DATA_HOME", m_dir.filePath(u"data"_s).toUtf8());
        qputenv("XDG_CACHE_HOME", m_dir.filePath(u"cache"_s).toUtf8());
        QLocale::setDefault(QLocale::c());
    }

    void waitsBeforeTheNextCheck_data()
    {
        QTest::addColumn<qint64>("sinceLast"); // -1: never checked
        QTest::addColumn<double>("jitter");
        QTest::addColumn<double>("draw");
        QTest::addColumn<qint64>("expected");
        QTest::newRow("never checked, first draw") << qint64(-1) << 0.0 << 0.0 << qint64(1000);
        QTest::newRow("never checked, last draw") << qint64(-1) << 0.0 << 1.0 << qint64(30000);
        QTest::newRow("a day ago") << kDay << 0.0 << 0.5 << qint64(15500);
        QTest::newRow("an hour ago") << kHour << 0.0 << 0.5 << 23 * kHour;
        QTest::newRow("an hour ago, latest jitter") << kHour << 1.0 << 0.5 << kDay + kDay / 10 - kHour;
        QTest::newRow("an hour ago, earliest jitter") << kHour << -1.0 << 0.5 << kDay - kDay / 10 - kHour;
        QTest::newRow("23 hours ago, earliest jitter: due") << 23 * kHour << -1.0 << 0.0 << qint64(1000);
        QTest::newRow("clock set back 2 hours: due") << -2 * kHour << 0.0 << 0.0 << qint64(1000);
        QTest::newRow("clock set back 30 seconds") << qint64(-30000) << 0.0 << 0.0 << kDay;
    }

    void waitsBeforeTheNextCheck()
    {
        QFETCH(qint64, sinceLast);
        QFETCH(double, jitter);
        QFETCH(double, draw);
        QFETCH(qint64, expected);
        const QDateTime now = QDateTime::currentDateTimeUtc();
        const QDateTime last = sinceLast == -1 ? QDateTime() : now.addMSecs(-sinceLast);
        QCOMPARE(vellumix::msUntilNextCheck(last, now, kDay, jitter, 30000, draw), expected);
    }

    void recordReadsBackAndRefusesJunk()
    {
        const QString path = m_dir.filePath(u"records/one.json"_s);
        vellumix::ScheduleRecord record;
        record.lastCheck = QDateTime::fromString(u"2026-12-01T10:00:00Z"_s, Qt::ISODate);
        record.skippedChannel = u"beta"_s;
        record.skippedSequence = 7;
        record.skippedVersion = u"7.0"_s;
        QVERIFY(vellumix::writeScheduleRecord(path, record));
        const vellumix::ScheduleRecord back = vellumix::readScheduleRecord(path);
        QCOMPARE(back.lastCheck, record.lastCheck);
        QCOMPARE(back.skippedChannel, record.skippedChannel);
        QCOMPARE(back.skippedSequence, 7);
        for (const QByteArray &junk : {QByteArray("not json"), QByteArray(70000, '{'),
                                       QByteArray(R"({"lastCheck":"yesterday","skipped":{"sequence":-3}})")}) {
            testsupport::writeFile(m_dir.filePath(u"records"_s), u"junk.json"_s, junk);
            const vellumix::ScheduleRecord read = vellumix::readScheduleRecord(m_dir.filePath(u"records/junk.json"_s));
            QVERIFY(!read.lastCheck.isValid());
            QCOMPARE(read.skippedSequence, 0);
        }
    }

    // What each kind of feed shows: a quiet check only a release to offer, an explicit one always
    // an answer. "skipped" runs the check after the user skipped 2.0.0.
    void checkShows_data()
    {
        QTest::addColumn<Feed>("feed");
        QTest::addColumn<bool>("skipped");
        QTest::addColumn<bool>("quietShows");
        QTest::addColumn<int>("explicitPage");
        QTest::addColumn<QString>("explicitSays");
        const int offer = int(UpdateDialog::Page::Offer);
        const int message = int(UpdateDialog::Page::Message);
        QTest::newRow("a new release") << Feed::NewRelease << false << true << offer << u"Vellumix 2.0.0 is available; you have 1.0.0."_s;
        QTest::newRow("a skipped release") << Feed::NewRelease << true << false << offer << u"Vellumix 2.0.0 is available"_s;
        QTest::newRow("a skipped critical release") << Feed::Critical << true << true << offer << u"fixes a security problem"_s;
        QTest::newRow("nothing new") << Feed::NothingNew << false << false << message << u"You're up to date"_s;
        QTest::newRow("a halted release") << Feed::Halted << false << false << message << u"You're up to date"_s;
        QTest::newRow("no feed") << Feed::Missing << false << false << message << u"Checking for updates failed"_s;
    }

    void checkShows()
    {
        VELLUMIX_REQUIRE_DEV_SIGNING_KEY();
        QFETCH(Feed, feed);
        QFETCH(bool, skipped);
        QFETCH(bool, quietShows);
        QFETCH(int, explicitPage);
        QFETCH(QString, explicitSays);
        const vellumix::SoftwareUpdateSettings settings = installation(feed);
        if (skipped) {
            vellumix::ScheduleRecord record;
            record.skippedChannel = u"stable"_s;
            record.skippedSequence = 2;
            QVERIFY(vellumix::writeScheduleRecord(
                vellumix::scheduleRecordPath(settings.client.programRoot), record));
        }
        for (const bool explicitCheck : {false, true}) {
            SoftwareUpdate update(settings);
            const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
            checkOnce(update, explicitCheck);
            // The time of the check is kept, for the schedule of the next start.
            QVERIFY(vellumix::readScheduleRecord(vellumix::scheduleRecordPath(settings.client.programRoot))
                        .lastCheck >= before);
            auto *dialog = qobject_cast<UpdateDialog *>(update.window());
            const bool shown = dialog && dialog->isVisible();
            if (!explicitCheck) {
                QCOMPARE(shown, quietShows);
                continue;
            }
            QVERIFY(shown);
            QCOMPARE(int(dialog->page()), explicitPage);
            QVERIFY2(visibleTexts(dialog).contains(explicitSays), qPrintable(visibleTexts(dialog)));
            if (dialog->page() == UpdateDialog::Page::Offer) {
                // Notes as plain text, never markup; no way to skip a critical fix.
                QCOMPARE(dialog->findChild<QPlainTextEdit *>()->toPlainText(), kNotes);
                QCOMPARE(buttonNamed(dialog, u"Skip This Version"_s)->isVisible(), feed != Feed::Critical);
                QCOMPARE(update.state(), SoftwareUpdate::State::Offering);
            }
        }
    }

    // The user's answers to the offer, by key and by button: what follows, and what is kept.
    void answers_data()
    {
        QTest::addColumn<int>("key"); // 0: the button named below
        QTest::addColumn<QString>("button");
        QTest::addColumn<SoftwareUpdate::State>("state");
        QTest::addColumn<qint32>("skipped");
        QTest::newRow("Escape reminds later") << int(Qt::Key_Escape) << QString() << SoftwareUpdate::State::Idle << 0;
        QTest::newRow("Remind Me Later") << 0 << u"Remind Me Later"_s << SoftwareUpdate::State::Idle << 0;
        QTest::newRow("Skip This Version") << 0 << u"Skip This Version"_s << SoftwareUpdate::State::Idle << 2;
        QTest::newRow("Return installs") << int(Qt::Key_Return) << QString() << SoftwareUpdate::State::ReadyToInstall << 0;
    }

    void answers()
    {
        VELLUMIX_REQUIRE_DEV_SIGNING_KEY();
        QFETCH(int, key);
        QFETCH(QString, button);
        QFETCH(SoftwareUpdate::State, state);
        QFETCH(qint32, skipped);
        const vellumix::SoftwareUpdateSettings settings = installation(Feed::NewRelease);
        SoftwareUpdate update(settings);
        update.start();
        checkOnce(update, false);
        auto *dialog = qobject_cast<UpdateDialog *>(update.window());
        QVERIFY(dialog && dialog->isVisible());
        if (key)
            QTest::keyClick(dialog, Qt::Key(key));
        else
            buttonNamed(dialog, button)->click();
        QTRY_COMPARE_WITH_TIMEOUT(update.state(), state, 20000);
        QCOMPARE(update.skippedSequence(), skipped);
        if (state == SoftwareUpdate::State::Idle) {
            QVERIFY(!dialog->isVisible());
            // Not asked again before the interval is over.
            QVERIFY(update.nextCheckTime() > QDateTime::currentDateTimeUtc().addSecs(20 * 3600));
            return;
        }
        QCOMPARE(dialog->page(), UpdateDialog::Page::Ready);
        QVERIFY(visibleTexts(dialog).contains(u"Vellumix 2.0.0 is ready to install"_s));
        // Escape there keeps working and installs when the application quits.
        QTest::keyClick(dialog, Qt::Key_Escape);
        QVERIFY(!dialog->isVisible());
        QVERIFY(update.installsOnQuit());
    }

    void texts_data()
    {
        QTest::addColumn<qint64>("done");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<double>("rate");
        QTest::addColumn<QString>("expected");
        QTest::newRow("rate unknown") << qint64(0) << qint64(3 << 20) << 0.0 << u"0 bytes of 3.0 MB"_s;
        QTest::newRow("a minute left") << qint64(1 << 20) << qint64(61 << 20) << double(1 << 20) << u"1.0 MB of 61.0 MB (1.0 MB/s), 1:00 left"_s;
        QTest::newRow("hours left") << qint64(0) << qint64(4000) << 1.0 << u"0 bytes of 3.9 kB (1 bytes/s), 1:06:40 left"_s;
        QTest::newRow("done") << qint64(5000) << qint64(5000) << 2000.0 << u"4.9 kB of 4.9 kB"_s;
    }

    void texts()
    {
        QFETCH(qint64, done);
        QFETCH(qint64, total);
        QFETCH(double, rate);
        QFETCH(QString, expected);
        QCOMPARE(UpdateDialog::progressText(done, total, rate), expected);
    }

    // After an update, told once; and the window in the language of the installed translation.
    void outcomeAndTranslation()
    {
        SoftwareUpdate update(installation(Feed::Missing));
        vellumix::UpdateOutcome outcome;
        outcome.result = vellumix::UpdateResult::Installed;
        outcome.version = u"2.0.0"_s;
        update.showOutcome(outcome);
        QVERIFY(visibleTexts(update.window()).contains(u"Updated to 2.0.0"_s));
        outcome.result = vellumix::UpdateResult::RolledBack;
        outcome.because = vellumix::UpdateFailedBecause::NewVersionEnded;
        update.showOutcome(outcome);
        QVERIFY(visibleTexts(update.window()).contains(u"The update to 2.0.0 did not stay\n"
                                                       "Version 2.0.0 did not start properly"_s));
        QTranslator chinese;
        QVERIFY(vellumix::loadTranslation(chinese, QLocale(u"zh_CN"_s)));
        QCoreApplication::installTranslator(&chinese);
        SoftwareUpdate translated(installation(Feed::Missing));
        translated.showOutcome(outcome);
        QCoreApplication::removeTranslator(&chinese);
        QCOMPARE(translated.window()->windowTitle(), u"软件更新"_s);
        QCOMPARE(translated.checkForUpdatesAction()->text(), u"检查更新…"_s);
    }
};

QTEST_MAIN(WidgetsTest)
#include "tst_widgets.moc"
