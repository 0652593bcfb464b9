#include "cli.h"
#include "publishtexts.h"
#include "deltas.h"
#include "feed.h"
#include "installer.h"
#include "interruption.h"
#include "numbertext.h"
#include "releaseinfo.h"
#include "rolloutstatus.h"
#include "signingkey.h"
#include "stage.h"
#include "verify.h"

#include "manifest.h"

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

#include <cstdio>

namespace vellumix::publish {

namespace {

constexpr int kDone = 0;
constexpr int kFailed = 1;
// rollout --advance: this run halted the release (its reports showed it failing).
constexpr int kHalted = 3;
// Wrong usage exits 64, as in vellumix-fetch (the usual code of a command-line usage error).
constexpr int kUsage = 64;

const QString kToolName = QStringLiteral("vellumix-publish");

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
}

// The options a command may be given more than once (one value each time).
const QStringList kRepeatableOptions = {QStringLiteral("access-log")};

void printJson(const QJsonObject &object)
{
    out() << QJsonDocument(object).toJson(QJsonDocument::Indented);
    out().flush();
}

QJsonValue orNull(const std::optional<QDateTime> &time)
{
    return time ? QJsonValue(time->toUTC().toString(Qt::ISODate)) : QJsonValue();
}

const char *const kOverview = QT_TRANSLATE_NOOP("vellumix", R"(Usage: vellumix-publish <command> [options]
       vellumix-publish --version

Release side of the Vellumix updater.

Commands:
  keygen   create a new update-signing key pair and print its modulus
  modulus  print the modulus of a key file (the value of VELLUMIX_UPDATE_KEY_MODULUS)
  stage    build a signed staging directory (files/, packed/, deltas/, manifest.json) from a
           release folder
  verify   check a staging directory exactly as the updater will, and its deltas
  publish  copy a verified stage into a feed folder for a web server: blobs first, then the
           channel's history, manifest last
  refresh  sign a channel's current release again with a new expiry
  prune    remove the blobs of a feed that no current manifest and no recent release names
  rollout  sign a channel's current release again with another rollout percentage (0 halts
           it), or move it to its next step from the outcome reports in a web server's log
  rollout-status
           summarise the outcome reports of a channel's releases from a web server's log
  installer
           build the Windows Setup program of a verified stage (per user, with an
           uninstaller; needs makensis)

Run "vellumix-publish <command> --help" for the options of a command. Exit codes: 0 done,
1 failed (refused, or an error on the way), 3 "rollout --advance" halted the release, 64 wrong
usage.
)");

// A parser for one command. Its first positional argument is the command's own name.
struct Command
{
    QCommandLineParser parser;
    QStringList positional;

    QCommandLineOption jsonOption{
        QStringLiteral("json"),
        Texts::tr("Print the result as one JSON object on standard output, for scripts; a "
                  "failure prints {\"error\": text} there as well.")};
    bool offersJson = false;

    // `json`: the command offers --json.
    Command(const QString &name, const QString &description, const QString &positionalSyntax,
            bool json = false)
        : offersJson(json)
    {
        parser.setApplicationDescription(description);
        parser.addPositionalArgument(name, Texts::tr("this command"),
                                     (name + u' ' + positionalSyntax).trimmed());
        parser.addHelpOption();
        if (json)
            parser.addOption(jsonOption);
    }

    bool json() const { return offersJson && parser.isSet(jsonOption); }

    // Returns -1 to go on, or the exit code when the command ends here (help or a usage error).
    int parse(const QStringList &arguments, int expectedPositional)
    {
        given = arguments;
        if (!parser.parse(arguments))
            return usage(parser.errorText());
        if (parser.isSet(QStringLiteral("help"))) {
            out() << parser.helpText().replace(arguments.first(), kToolName);
            out().flush();
            return kDone;
        }
        // An option given twice is a mistake in a script, not a choice of the last value.
        QStringList seen;
        for (const QString &option : parser.optionNames()) {
            if (seen.contains(option) && !kRepeatableOptions.contains(option))
                return usage(Texts::tr("the option %1 is given more than once")
                                 .arg((option.size() == 1 ? QStringLiteral("-") : QStringLiteral("--"))
                                      + option));
            seen << option;
        }
        positional = parser.positionalArguments().mid(1);
        if (positional.size() != expectedPositional)
            return usage(Texts::tr("wrong number of arguments; see \"%1 %2 --help\"")
                             .arg(kToolName, parser.positionalArguments().value(0)));
        return -1;
    }

    /*
        Wrong usage: the text on standard error and, when --json was asked for, as {"error": text}
        on standard output, so that a script reading the output learns why it got none (also from
        a command that offers no --json: that is its usage error). The arguments are looked at as
        given, since a usage error may come before they parse.
    */
    int usage(const QString &text)
    {
        err() << kToolName << ": " << text << Qt::endl;
        if (given.contains(QStringLiteral("--json")))
            printJson({{QStringLiteral("error"), text}});
        return kUsage;
    }

    int missing(const QString &option)
    {
        return usage(Texts::tr("the option --%1 is required").arg(option));
    }

    // A whole number from `low` to `high`, or nothing after a message (wrong usage).
    std::optional<int> number(const QCommandLineOption &option, int low, int high)
    {
        bool isNumber = false;
        const int value = parser.value(option).toInt(&isNumber);
        if (isNumber && value >= low && value <= high)
            return value;
        usage(Texts::tr("--%1 needs a whole number from %2 to %3")
                  .arg(option.names().first(), QString::number(low), grouped(high)));
        return std::nullopt;
    }

private:
    QStringList given;
};

QCommandLineOption channelOption(const QString &what)
{
    return QCommandLineOption(
        QStringLiteral("channel"),
        Texts::tr("%1: 1 to 32 characters of a-z, 0-9 and \"-\" (default \"%2\").")
            .arg(what, protocol::kDefaultChannel),
        QStringLiteral("NAME"), protocol::kDefaultChannel);
}

QCommandLineOption privateKeyOption()
{
    return QCommandLineOption(QStringLiteral("key"),
                              Texts::tr("Private update-signing key (PEM)."),
                              QStringLiteral("KEY.pem"));
}

QCommandLineOption feedFolderOption()
{
    return QCommandLineOption(QStringLiteral("feed"), Texts::tr("The feed folder."),
                              QStringLiteral("DIR"));
}

QCommandLineOption expiresInOption(const QString &description)
{
    return QCommandLineOption(QStringLiteral("expires-in"),
                              description.arg(grouped(kMaxExpiryDays)), QStringLiteral("DAYS"));
}

QString expiryLine(const std::optional<QDateTime> &expires)
{
    return expires ? expiryText(*expires) : Texts::tr("never");
}

QString publicKeyPathFor(const QString &privatePath)
{
    if (privatePath.endsWith(QStringLiteral(".pem")))
        return privatePath.chopped(4) + QStringLiteral(".pub.pem");
    return privatePath + QStringLiteral(".pub.pem");
}

void warnIfNotCompiledIn(const QByteArray &modulusHex)
{
    if (modulusHex == compiledInSigningKey().modulusHex)
        return;
    err() << Texts::tr("warning: this key is not the one compiled into this build's updater; an "
                       "updater accepts the stage only when configured with\n"
                       "  -DVELLUMIX_UPDATE_KEY_MODULUS=%1")
                 .arg(QString::fromLatin1(modulusHex))
          << Qt::endl;
}

int keygen(const QStringList &arguments)
{
    Command command(QStringLiteral("keygen"),
                    Texts::tr("Creates a new RSA-3072 update-signing key pair: the private key "
                              "in KEY.pem (readable by its owner only) and the public key "
                              "beside it in KEY.pub.pem. Existing files are never replaced."),
                    QString());
    const QCommandLineOption outOption(QStringLiteral("out"),
                                       Texts::tr("File for the private key (PEM)."),
                                       QStringLiteral("KEY.pem"));
    command.parser.addOption(outOption);
    if (const int code = command.parse(arguments, 0); code >= 0)
        return code;
    if (!command.parser.isSet(outOption))
        return command.missing(QStringLiteral("out"));

    const QString privatePath = command.parser.value(outOption);
    const QString publicPath = publicKeyPathFor(privatePath);
    for (const QString &path : {privatePath, publicPath}) {
        if (QFileInfo(path).exists() || QFileInfo(path).isSymLink())
            throw Texts::tr("%1 already exists; it is never overwritten").arg(path);
    }
    const SigningKey key = SigningKey::generate();
    createNewFile(privatePath, key.privatePem(), true);
    try {
        createNewFile(publicPath, key.publicPem(), false);
    } catch (...) {
        QFile::remove(privatePath); // made by this call a moment ago: no half key pair stays
        throw;
    }
    const QByteArray modulus = key.modulusHex();
    out() << Texts::tr("private key: %1 (owner-only; keep it offline and backed up, it cannot be "
                       "recovered)\n"
                       "public key:  %2\n"
                       "modulus:     %3\n\n"
                       "Configure release builds of the updater with:\n"
                       "  -DVELLUMIX_UPDATE_KEY_MODULUS=%3")
                 .arg(privatePath, publicPath, QString::fromLatin1(modulus))
          << Qt::endl;
    return kDone;
}

int modulus(const QStringList &arguments)
{
    Command command(QStringLiteral("modulus"),
                    Texts::tr("Prints the 768-digit hexadecimal modulus of an RSA-3072 key file "
                              "(private or public, PEM): the value of "
                              "VELLUMIX_UPDATE_KEY_MODULUS for an updater that trusts it."),
                    QStringLiteral("KEY.pem"));
    if (const int code = command.parse(arguments, 1); code >= 0)
        return code;
    out() << SigningKey::fromFile(command.positional.first()).modulusHex() << Qt::endl;
    return kDone;
}

// Progress on standard error, at most once a second, so small releases stay quiet.
class ProgressLine
{
public:
    void update(const StageProgress &progress)
    {
        const bool finished = progress.filesDone == progress.filesTotal;
        if (!m_clock.isValid())
            m_clock.start();
        if (m_clock.elapsed() < 1000 && !(finished && m_shown))
            return;
        m_clock.restart();
        m_shown = true;
        static const QLocale english(QLocale::English, QLocale::UnitedStates);
        err() << Texts::tr("staging: %1/%2 files, %3 of %4")
                     .arg(grouped(progress.filesDone), grouped(progress.filesTotal),
                          english.formattedDataSize(progress.bytesDone),
                          english.formattedDataSize(progress.bytesTotal))
              << Qt::endl;
    }

private:
    QElapsedTimer m_clock;
    bool m_shown = false;
};

// The options of "stage", in the order its help lists them.
struct StageCommandOptions
{
    QCommandLineOption release{QStringLiteral("release"),
                               Texts::tr("The release folder: the program root of the "
                                         "new version."),
                               QStringLiteral("DIR")};
    QCommandLineOption version{QStringLiteral("version"),
                               Texts::tr("Version text (0-9 A-Z a-z . + -, 1 to 60)."),
                               QStringLiteral("V")};
    QCommandLineOption sequence{QStringLiteral("sequence"),
                                Texts::tr("Release sequence number, 1 to 9,999,999."),
                                QStringLiteral("N")};
    QCommandLineOption key = privateKeyOption();
    QCommandLineOption outDir{QStringLiteral("out"),
                              Texts::tr("The stage to create; must not exist."),
                              QStringLiteral("STAGE")};
    QCommandLineOption notes{QStringLiteral("notes"), Texts::tr("Release notes text."),
                             QStringLiteral("TEXT")};
    QCommandLineOption installed{
        QStringLiteral("installed"),
        Texts::tr("An installed program root: stage only the files that differ from it."),
        QStringLiteral("DIR")};
    QCommandLineOption channel = channelOption(Texts::tr("The channel the release is signed for"));
    QCommandLineOption expiresIn = expiresInOption(
        Texts::tr("Days, 1 to %1, until the manifest expires: clients refuse it after that "
                  "(see \"refresh\"). Without it, the manifest never expires."));
    QCommandLineOption deltaBase{
        QStringLiteral("delta-base"),
        Texts::tr("A feed: make deltas of each changed file against its contents in the "
                  "channel's last releases there (deltas/, listed in the manifest)."),
        QStringLiteral("FEED")};
    QCommandLineOption deltaDepth{
        QStringLiteral("delta-depth"),
        Texts::tr("How many of the channel's last releases the deltas are made against, 1 to "
                  "%1 (default %2).")
            .arg(kMaxDeltaDepth)
            .arg(kDefaultDeltaDepth),
        QStringLiteral("N"), QString::number(kDefaultDeltaDepth)};
    QCommandLineOption deltaWindowLog{
        QStringLiteral("delta-window-log"),
        Texts::tr("The largest delta window as a power of two, %1 to %2 (default %2: 128 "
                  "MiB); a file whose old or new version is larger gets no delta.")
            .arg(kMinDeltaWindowLog)
            .arg(kMaxDeltaWindowLog),
        QStringLiteral("N"), QString::number(kMaxDeltaWindowLog)};
    QCommandLineOption rollout{
        QStringLiteral("rollout"),
        Texts::tr("The share of installations, 0 to 100, that take the release (see "
                  "\"rollout\"); without it, every installation."),
        QStringLiteral("PERCENT")};
    QCommandLineOption critical{
        QStringLiteral("critical"),
        Texts::tr("Every installation takes the release at any rollout percentage above 0, "
                  "and a later release names it as its fallback (\"rollout --critical\" marks a "
                  "published one).")};
    QCommandLineOption reports{
        QStringLiteral("reports"),
        Texts::tr("An https URL that receives one request per update outcome from the "
                  "installations whose application turned reports on."),
        QStringLiteral("URL")};

    QList<QCommandLineOption> all() const
    {
        return {release, version, sequence, key, outDir, notes, installed, channel,
                expiresIn, deltaBase, deltaDepth, deltaWindowLog, rollout, critical, reports};
    }
};

// The stage's options as given, or nothing after a usage message.
std::optional<StageOptions> readStageOptions(Command &command, const StageCommandOptions &given)
{
    const QCommandLineParser &parser = command.parser;
    for (const QCommandLineOption *required :
         {&given.release, &given.version, &given.sequence, &given.key, &given.outDir}) {
        if (!parser.isSet(*required)) {
            command.missing(required->names().first());
            return std::nullopt;
        }
    }
    StageOptions options;
    options.releaseDir = parser.value(given.release);
    options.version = parser.value(given.version);
    bool isNumber = false;
    options.sequence = parser.value(given.sequence).toLongLong(&isNumber);
    if (!isNumber) {
        command.usage(Texts::tr("--sequence needs a whole number"));
        return std::nullopt;
    }
    options.keyPath = parser.value(given.key);
    options.outDir = parser.value(given.outDir);
    options.notes = parser.value(given.notes);
    options.installedDir = parser.value(given.installed);
    options.channel = parser.value(given.channel);
    if (parser.isSet(given.expiresIn)) {
        const std::optional<int> days = command.number(given.expiresIn, 1, kMaxExpiryDays);
        if (!days)
            return std::nullopt;
        options.expiresInDays = *days;
    }
    options.deltaBaseFeed = parser.value(given.deltaBase);
    const std::optional<int> depth = command.number(given.deltaDepth, 1, kMaxDeltaDepth);
    const std::optional<int> windowLog =
        command.number(given.deltaWindowLog, kMinDeltaWindowLog, kMaxDeltaWindowLog);
    if (!depth || !windowLog)
        return std::nullopt;
    options.deltaDepth = *depth;
    options.deltaWindowLog = *windowLog;
    if (parser.isSet(given.rollout)) {
        const std::optional<int> percent = command.number(given.rollout, 0, 100);
        if (!percent)
            return std::nullopt;
        options.rolloutPercent = *percent;
    }
    options.critical = parser.isSet(given.critical);
    options.reportsUrl = parser.value(given.reports);
    return options;
}

void warnIfRolloutUnreported(const StageOptions &options)
{
    if (options.rolloutPercent && *options.rolloutPercent > 0 && *options.rolloutPercent < 100
        && options.reportsUrl.isEmpty())
        err() << Texts::tr("warning: --rollout %1 without --reports: no installation reports how "
                           "the release fares, so \"rollout --advance\" will never move it on; "
                           "only \"rollout --percent\" will")
                     .arg(*options.rolloutPercent)
              << Qt::endl;
}

QJsonObject stageJson(const StageOptions &options, const StageSummary &summary)
{
    QJsonObject json{
        {QStringLiteral("stage"), options.outDir},
        {QStringLiteral("version"), options.version},
        {QStringLiteral("sequence"), options.sequence},
        {QStringLiteral("channel"), options.channel},
        {QStringLiteral("expires"), orNull(summary.expires)},
        {QStringLiteral("files"), summary.filesInManifest},
        {QStringLiteral("bytes"), summary.totalSize},
        {QStringLiteral("manifestBytes"), summary.manifestBytes},
        {QStringLiteral("filesStaged"), summary.filesStaged},
        {QStringLiteral("bytesStaged"), summary.stagedBytes},
        {QStringLiteral("modulus"), QString::fromLatin1(summary.modulusHex)},
        {QStringLiteral("rollout"),
         QJsonObject{{QStringLiteral("percent"), options.rolloutPercent.value_or(100)},
                     {QStringLiteral("critical"), options.critical},
                     {QStringLiteral("fallback"),
                      summary.fallback ? QJsonValue(summary.fallback->sequence) : QJsonValue()},
                     {QStringLiteral("reports"),
                      options.reportsUrl.isEmpty() ? QJsonValue() : QJsonValue(options.reportsUrl)}}},
    };
    if (!options.deltaBaseFeed.isEmpty()) {
        QJsonArray releases;
        for (const qint32 sequence : std::as_const(summary.deltaReleases))
            releases.append(sequence);
        json.insert(QStringLiteral("deltas"),
                    QJsonObject{{QStringLiteral("feedFound"), !summary.deltaFeedMissing},
                                {QStringLiteral("againstSequences"), releases},
                                {QStringLiteral("made"), summary.deltasMade},
                                {QStringLiteral("bytes"), summary.deltaBytes},
                                {QStringLiteral("wholeBytes"), summary.deltaWholeBytes},
                                {QStringLiteral("dropped"), summary.deltasDropped}});
    }
    return json;
}

void printStagedLines(const StageOptions &options, const StageSummary &summary,
                      const QElapsedTimer &clock)
{
    out() << Texts::tr("stage:    %1\n"
                       "version:  %2 (sequence %3)\n")
                 .arg(options.outDir, options.version, QString::number(options.sequence))
          << Texts::tr("manifest: %1 files, %2 bytes; manifest.json %3 bytes\n")
                 .arg(grouped(summary.filesInManifest), grouped(summary.totalSize),
                      grouped(summary.manifestBytes))
          << Texts::tr("staged:   %1 files, %2 bytes\n")
                 .arg(grouped(summary.filesStaged), grouped(summary.stagedBytes))
          << Texts::tr("channel:  %1; expires %2\n").arg(options.channel, expiryLine(summary.expires))
          << Texts::tr("time:     %1 s")
                 .arg(QString::number(double(clock.elapsed()) / 1000.0, 'f', 1))
          << Qt::endl;
}

void printDeltaLines(const StageOptions &options, const StageSummary &summary)
{
    QStringList releases;
    for (const qint32 sequence : std::as_const(summary.deltaReleases))
        releases << QString::number(sequence);
    const double share = summary.deltaWholeBytes > 0
        ? 100.0 * double(summary.deltaBytes) / double(summary.deltaWholeBytes)
        : 0.0;
    if (summary.deltaFeedMissing) {
        out() << Texts::tr("deltas:   none: the feed %1 holds no release of the channel \"%2\" "
                           "yet (a first release), so there is nothing to make them against")
                     .arg(options.deltaBaseFeed, options.channel)
              << Qt::endl;
        return;
    }
    out() << Texts::tr("deltas:   %1 made against sequence %2: %3 bytes for %4 bytes of "
                       "whole blobs (%5%), %6 s\n")
                 .arg(grouped(summary.deltasMade),
                      releases.isEmpty() ? Texts::tr("(none in the feed)")
                                         : releases.join(QStringLiteral(", ")),
                      grouped(summary.deltaBytes), grouped(summary.deltaWholeBytes),
                      QString::number(share, 'f', 1),
                      QString::number(double(summary.deltaMilliseconds) / 1000.0, 'f', 1))
          << Texts::tr("          %1 not smaller, %2 over the window, %3 bases no longer "
                       "in the feed, %4 dropped to keep the manifest within 8 MiB")
                 .arg(grouped(summary.deltasNotSmaller), grouped(summary.deltasOverWindow),
                      grouped(summary.deltaBasesMissing), grouped(summary.deltasDropped))
          << Qt::endl;
}

void printRolloutLine(const StageOptions &options, const StageSummary &summary)
{
    out() << Texts::tr("rollout:  %1%%2; fallback %3; reports %4")
                 .arg(QString::number(options.rolloutPercent.value_or(100)),
                      options.critical
                          ? Texts::tr(" (critical: every installation at any percentage above 0)")
                          : QString(),
                      summary.fallback ? Texts::tr("sequence %1").arg(summary.fallback->sequence)
                                       : Texts::tr("none"),
                      options.reportsUrl.isEmpty() ? Texts::tr("none") : options.reportsUrl)
          << Qt::endl;
}

int stage(const QStringList &arguments)
{
    Command command(
        QStringLiteral("stage"),
        Texts::tr("Builds a staging directory from a release folder: files/ (the files to "
                  "install), packed/ (each of them as gzip) and manifest.json signed with the "
                  "given key. Refuses, before writing anything, every release the updater "
                  "would refuse. The stage appears complete under its name or not at all."),
        QString(), true);
    const StageCommandOptions given;
    command.parser.addOptions(given.all());
    if (const int code = command.parse(arguments, 0); code >= 0)
        return code;
    const std::optional<StageOptions> read = readStageOptions(command, given);
    if (!read)
        return kUsage;
    const StageOptions &options = *read;
    warnIfRolloutUnreported(options);

    // A stage stopped by a signal removes what it wrote, as a failed one does.
    watchForTermination();

    ProgressLine progressLine;
    QElapsedTimer clock;
    clock.start();
    const StageSummary summary = stageRelease(
        options, [&](const StageProgress &progress) { progressLine.update(progress); });
    if (command.json()) {
        printJson(stageJson(options, summary));
        warnIfNotCompiledIn(summary.modulusHex);
        return kDone;
    }
    printStagedLines(options, summary, clock);
    if (!options.deltaBaseFeed.isEmpty())
        printDeltaLines(options, summary);
    if (options.rolloutPercent || options.critical || summary.fallback || !options.reportsUrl.isEmpty())
        printRolloutLine(options, summary);
    warnIfNotCompiledIn(summary.modulusHex);
    return kDone;
}

// --key PUB.pem: the key that checks signatures instead of the one compiled into this build.
struct KeyOption
{
    QCommandLineOption option{
        QStringLiteral("key"),
        Texts::tr("Check signatures against this key (public or private PEM) instead of the "
                  "key compiled into this build."),
        QStringLiteral("PUB.pem")};

    std::optional<UpdateSigningKey> value(const QCommandLineParser &parser) const
    {
        if (!parser.isSet(option))
            return std::nullopt;
        return UpdateSigningKey{SigningKey::fromFile(parser.value(option)).modulusHex()};
    }
};

int verify(const QStringList &arguments)
{
    Command command(QStringLiteral("verify"),
                    Texts::tr("Checks STAGE/manifest.json with the updater's own code and every "
                              "file under files/, packed/ and deltas/ against it. Prints the "
                              "release, or the text the updater would show when it refuses "
                              "the manifest."),
                    QStringLiteral("STAGE"), true);
    const KeyOption key;
    const QCommandLineOption feedOption(
        QStringLiteral("feed"),
        Texts::tr("A feed holding the channel's earlier releases: each delta whose base it "
                  "holds is applied and must give its file."),
        QStringLiteral("DIR"));
    command.parser.addOptions({key.option, feedOption});
    if (const int code = command.parse(arguments, 1); code >= 0)
        return code;

    StageReport report;
    try {
        report = verifyStage(command.positional.first(), key.value(command.parser),
                             command.parser.value(feedOption));
    } catch (const QString &refusal) {
        if (command.json())
            printJson({{QStringLiteral("ok"), false},
                       {QStringLiteral("refused"), refusal},
                       {QStringLiteral("error"), refusal}});
        else
            out() << Texts::tr("refused: %1").arg(refusal) << Qt::endl;
        return kFailed;
    }
    const UpdateManifest &manifest = report.manifest;
    if (command.json()) {
        QJsonObject json{{QStringLiteral("ok"), report.problems.isEmpty()},
                   {QStringLiteral("version"), manifest.version},
                   {QStringLiteral("sequence"), manifest.sequence},
                   {QStringLiteral("files"), manifest.files.size()},
                   {QStringLiteral("bytes"), report.totalSize},
                   {QStringLiteral("filesStaged"), report.filesStaged},
                   {QStringLiteral("filesPacked"), report.filesPacked},
                   {QStringLiteral("channel"), report.extras.channel.isEmpty()
                                                   ? QJsonValue() : QJsonValue(report.extras.channel)},
                   {QStringLiteral("expires"), orNull(report.extras.expires)},
                   {QStringLiteral("rolloutPercent"), report.extras.percent()},
                   {QStringLiteral("deltas"), report.extras.deltas.size()},
                   {QStringLiteral("deltasChecked"), report.deltasChecked},
                   {QStringLiteral("deltasUnchecked"), report.deltasUnchecked},
                   {QStringLiteral("problems"), QJsonArray::fromStringList(report.problems)}};
        if (!report.problems.isEmpty())
            json.insert(QStringLiteral("error"), report.problems.join(QStringLiteral("; ")));
        printJson(json);
        return report.problems.isEmpty() ? kDone : kFailed;
    }
    out() << Texts::tr("version:  %1\n"
                       "sequence: %2\n"
                       "files:    %3\n"
                       "size:     %4 bytes\n")
                 .arg(manifest.version, QString::number(manifest.sequence),
                      grouped(manifest.files.size()), grouped(report.totalSize))
          << Texts::tr("staged:   %1 under files/, %2 under packed/\n")
                 .arg(grouped(report.filesStaged), grouped(report.filesPacked))
          << Texts::tr("channel:  %1\n")
                 .arg(report.extras.channel.isEmpty() ? Texts::tr("none (taken as stable)")
                                                      : report.extras.channel)
          << Texts::tr("expires:  %1\n").arg(expiryLine(report.extras.expires))
          << Texts::tr("deltas:   %1").arg(grouped(report.extras.deltas.size()));
    if (command.parser.isSet(feedOption))
        out() << Texts::tr(" (%1 applied to their base, %2 with no base in the feed)")
                     .arg(grouped(report.deltasChecked), grouped(report.deltasUnchecked));
    out() << Qt::endl;
    for (const QString &problem : std::as_const(report.problems))
        err() << Texts::tr("problem: %1").arg(problem) << Qt::endl;
    return report.problems.isEmpty() ? kDone : kFailed;
}

int installer(const QStringList &arguments)
{
    Command command(QStringLiteral("installer"),
                    Texts::tr("Builds the Windows Setup program of the release in STAGE (made by "
                              "\"stage\" without --installed), after checking it as \"verify\" "
                              "does. Setup installs for the user running it, without an "
                              "elevation prompt, into %LOCALAPPDATA%\\Programs\\<name>, with the "
                              "release's installed record, a Start menu shortcut, an entry in "
                              "the user's list of programs and uninstall.exe. /S installs "
                              "silently, /D=FOLDER chooses the folder. Needs makensis (NSIS)."),
                    QStringLiteral("STAGE"), true);
    const KeyOption key;
    const QCommandLineOption outOption(QStringLiteral("out"),
                                       Texts::tr("The Setup program to write; must not exist."),
                                       QStringLiteral("FILE.exe"));
    const QCommandLineOption nameOption(
        QStringLiteral("name"),
        Texts::tr("The program's name: the title, folder, shortcut and entry (default \"%1\"; "
                  "letters, digits, spaces and . - _ + ( ), up to 64).")
            .arg(kDefaultInstallerName),
        QStringLiteral("NAME"), kDefaultInstallerName);
    const QCommandLineOption publisherOption(
        QStringLiteral("publisher"),
        Texts::tr("The publisher that the list of programs shows (default: the name)."),
        QStringLiteral("TEXT"));
    const QCommandLineOption iconOption(QStringLiteral("icon"),
                                        Texts::tr("The Setup program's icon (a .ico file)."),
                                        QStringLiteral("FILE.ico"));
    command.parser.addOptions({outOption, nameOption, publisherOption, iconOption, key.option});
    if (const int code = command.parse(arguments, 1); code >= 0)
        return code;
    if (!command.parser.isSet(outOption))
        return command.missing(QStringLiteral("out"));

    InstallerOptions options;
    options.stageDir = command.positional.first();
    options.outFile = command.parser.value(outOption);
    options.name = command.parser.value(nameOption);
    options.publisher = command.parser.value(publisherOption);
    options.iconFile = command.parser.value(iconOption);
    // Wrong values on the command line are wrong usage, said before anything is read.
    if (const QString problem = installerNameProblem(options.name); !problem.isEmpty())
        return command.usage(problem);
    if (command.parser.isSet(publisherOption)) {
        if (const QString problem = publisherProblem(options.publisher); !problem.isEmpty())
            return command.usage(problem);
    }
    if (!options.outFile.endsWith(QStringLiteral(".exe"), Qt::CaseInsensitive))
        return command.usage(Texts::tr("--out must name a .exe file"));
    options.key = key.value(command.parser);

    const InstallerSummary summary = buildInstaller(options);
    if (command.json()) {
        printJson({{QStringLiteral("ok"), true},
                   {QStringLiteral("setup"), options.outFile},
                   {QStringLiteral("setupBytes"), summary.setupBytes},
                   {QStringLiteral("name"), summary.name},
                   {QStringLiteral("publisher"), summary.publisher},
                   {QStringLiteral("version"), summary.version},
                   {QStringLiteral("sequence"), summary.sequence},
                   {QStringLiteral("files"), summary.files},
                   {QStringLiteral("bytes"), summary.bytes}});
        return kDone;
    }
    out() << Texts::tr("setup:    %1 (%2 bytes)\n"
                       "name:     %3\n"
                       "release:  %4 (sequence %5), %6 files, %7 bytes\n"
                       "installs: %LOCALAPPDATA%\\Programs\\%3 (per user; /S silent, /D=FOLDER)")
                 .arg(options.outFile, grouped(summary.setupBytes), summary.name, summary.version,
                      QString::number(summary.sequence), grouped(summary.files),
                      grouped(summary.bytes))
          << Qt::endl;
    return kDone;
}

int publish(const QStringList &arguments)
{
    Command command(
        QStringLiteral("publish"),
        Texts::tr("Publishes a verified stage into a feed folder that a web server serves: "
                  "every packed file and delta to FEED/blobs/<packedSha256>, the manifest to "
                  "the channel's history FEED/<channel>/releases/<sequence>.json (never "
                  "rewritten), then to FEED/<channel>/manifest.json, replaced atomically and "
                  "last. Refuses a stage that \"verify --feed\" refuses, one signed for "
                  "another channel, and a release whose sequence is not greater than the "
                  "channel's current one. Publishing the channel's current release again "
                  "changes nothing and succeeds, also after \"rollout\" or \"refresh\" signed "
                  "it again (a halt holds)."),
        QStringLiteral("STAGE"), true);
    const QCommandLineOption feedOption(QStringLiteral("feed"),
                                        Texts::tr("The feed folder (created when missing)."),
                                        QStringLiteral("DIR"));
    const QCommandLineOption channel(
        QStringLiteral("channel"),
        Texts::tr("The channel the stage was signed for, checked: the stage itself names its "
                  "channel (a stage that names none is for \"%1\").")
            .arg(protocol::kDefaultChannel),
        QStringLiteral("NAME"));
    const QCommandLineOption allowOption(
        QStringLiteral("allow-same-or-lower"),
        Texts::tr("A deliberate rollback to an older release: publish it although the "
                  "channel's current release has a greater sequence, or replace a current "
                  "manifest that cannot be read. Another release under the current sequence "
                  "is never published."));
    const KeyOption key;
    command.parser.addOptions({feedOption, channel, allowOption, key.option});
    if (const int code = command.parse(arguments, 1); code >= 0)
        return code;
    if (!command.parser.isSet(feedOption))
        return command.missing(QStringLiteral("feed"));

    PublishOptions options;
    options.stageDir = command.positional.first();
    options.feedDir = command.parser.value(feedOption);
    options.channel = command.parser.value(channel);
    if (command.parser.isSet(channel) && options.channel.isEmpty())
        throw Texts::tr("the channel name \"\" is not %1").arg(protocol::kChannelNameRule);
    options.allowSameOrLower = command.parser.isSet(allowOption);
    options.key = key.value(command.parser);
    const PublishSummary summary = publishStage(options);
    if (command.json()) {
        printJson({{QStringLiteral("channel"), summary.channel},
                   {QStringLiteral("previousSequence"),
                    summary.previousSequence ? QJsonValue(*summary.previousSequence) : QJsonValue()},
                   {QStringLiteral("version"), summary.manifest.version},
                   {QStringLiteral("sequence"), summary.manifest.sequence},
                   {QStringLiteral("unchanged"), summary.unchanged},
                   {QStringLiteral("blobsCopied"), summary.blobsCopied},
                   {QStringLiteral("blobsReplaced"), summary.blobsReplaced},
                   {QStringLiteral("blobsKept"), summary.blobsKept},
                   {QStringLiteral("bytesWritten"), summary.bytesWritten},
                   {QStringLiteral("bytesKept"), summary.bytesKept},
                   {QStringLiteral("deltaBlobs"), summary.deltaBlobs},
                   {QStringLiteral("deltasChecked"), summary.deltasChecked},
                   {QStringLiteral("history"), summary.historyPath},
                   {QStringLiteral("historyWritten"), summary.historyWritten},
                   {QStringLiteral("signedState"), summary.signedStatePath.isEmpty()
                                                       ? QJsonValue() : QJsonValue(summary.signedStatePath)},
                   {QStringLiteral("manifest"), summary.manifestPath}});
        if (options.key)
            warnIfNotCompiledIn(options.key->modulusHex);
        return kDone;
    }

    QString previous = Texts::tr("none");
    if (summary.previousSequence)
        previous = Texts::tr("sequence %1").arg(*summary.previousSequence);
    else if (summary.previousUnreadable)
        previous = Texts::tr("an unreadable manifest, replaced");
    if (summary.unchanged)
        out() << Texts::tr("unchanged: the channel already offers this release, and the feed "
                           "holds all of its blobs\n");
    if (!summary.signedStatePath.isEmpty())
        out() << Texts::tr("signed:   as last signed while it was current, %1\n")
                     .arg(summary.signedStatePath);
    out() << Texts::tr("channel:  %1 (before: %2)\n"
                       "version:  %3 (sequence %4)\n")
                 .arg(summary.channel, previous, summary.manifest.version,
                      QString::number(summary.manifest.sequence))
          << Texts::tr("blobs:    %1 copied, %2 replaced (%3 bytes written); %4 kept (%5 bytes)\n")
                 .arg(grouped(summary.blobsCopied), grouped(summary.blobsReplaced),
                      grouped(summary.bytesWritten), grouped(summary.blobsKept),
                      grouped(summary.bytesKept))
          << Texts::tr("deltas:   %1 of these blobs (%2 applied to their base)\n")
                 .arg(grouped(summary.deltaBlobs), grouped(summary.deltasChecked))
          << Texts::tr("history:  %1%2\n")
                 .arg(summary.historyPath,
                      summary.historyWritten ? QString() : Texts::tr(" (already there)"))
          << Texts::tr("manifest: %1 (%2 bytes)")
                 .arg(summary.manifestPath, grouped(summary.manifest.envelope.size()))
          << Qt::endl;
    if (options.key)
        warnIfNotCompiledIn(options.key->modulusHex);
    return kDone;
}

int refresh(const QStringList &arguments)
{
    Command command(
        QStringLiteral("refresh"),
        Texts::tr("Signs the channel's current release again with a new expiry: the same "
                  "files, sequence and everything else, only \"expires\" changes. The new "
                  "manifest replaces FEED/<channel>/manifest.json atomically; the release's "
                  "history file stays as it was published. Run it from a scheduled job well "
                  "before the expiry (for example weekly for 30 days)."),
        QString(), true);
    const QCommandLineOption feedOption = feedFolderOption();
    const QCommandLineOption channel = channelOption(Texts::tr("The channel"));
    const QCommandLineOption key = privateKeyOption();
    const QCommandLineOption expiresIn =
        expiresInOption(Texts::tr("Days, 1 to %1, until the refreshed manifest expires."));
    command.parser.addOptions({feedOption, channel, key, expiresIn});
    if (const int code = command.parse(arguments, 0); code >= 0)
        return code;
    for (const QCommandLineOption *required : {&feedOption, &key, &expiresIn}) {
        if (!command.parser.isSet(*required))
            return command.missing(required->names().first());
    }
    RefreshOptions options;
    options.feedDir = command.parser.value(feedOption);
    options.channel = command.parser.value(channel);
    options.keyPath = command.parser.value(key);
    const std::optional<int> days = command.number(expiresIn, 1, kMaxExpiryDays);
    if (!days)
        return kUsage;
    options.expiresInDays = *days;

    const RefreshSummary summary = refreshChannel(options);
    if (command.json()) {
        printJson({{QStringLiteral("channel"), options.channel},
                   {QStringLiteral("version"), summary.manifest.version},
                   {QStringLiteral("sequence"), summary.manifest.sequence},
                   {QStringLiteral("expires"), orNull(summary.expires)},
                   {QStringLiteral("previousExpiry"), orNull(summary.previousExpiry)},
                   {QStringLiteral("manifest"), summary.manifestPath}});
        return kDone;
    }
    out() << Texts::tr("channel:  %1\n"
                       "version:  %2 (sequence %3)\n")
                 .arg(options.channel, summary.manifest.version,
                      QString::number(summary.manifest.sequence))
          << Texts::tr("expires:  %1 (before: %2)\n")
                 .arg(expiryText(summary.expires), expiryLine(summary.previousExpiry))
          << Texts::tr("manifest: %1 (%2 bytes)")
                 .arg(summary.manifestPath, grouped(summary.manifest.envelope.size()))
          << Qt::endl;
    return kDone;
}

// A failure rate as "0.02" or "2%", above 0 and below 1.
std::optional<double> failureRate(const QString &text)
{
    bool isNumber = false;
    double rate = text.endsWith(u'%') ? text.chopped(1).toDouble(&isNumber) / 100.0
                                      : text.toDouble(&isNumber);
    if (!isNumber || !(rate > 0.0 && rate < 1.0))
        return std::nullopt;
    return rate;
}

// "1,5,25,50,100": rising percentages from 1 to 100.
std::optional<QList<int>> rolloutSchedule(const QString &text)
{
    QList<int> steps;
    for (const QString &part : text.split(u',')) {
        bool isNumber = false;
        const int step = part.trimmed().toInt(&isNumber);
        if (!isNumber || step < 1 || step > 100 || (!steps.isEmpty() && step <= steps.last()))
            return std::nullopt;
        steps.append(step);
    }
    return steps;
}

QString percentOf(double rate)
{
    return QString::number(rate * 100.0, 'f', 1) + u'%';
}

QCommandLineOption accessLogOption()
{
    return QCommandLineOption(
        QStringLiteral("access-log"),
        Texts::tr("A web server's access log in nginx's \"combined\" format, or in the W3C "
                  "extended format of a CDN (found by its \"#Fields:\" line), plain or "
                  "compressed with gzip (\"-\": standard input); may be given several times, for "
                  "rotated logs."),
        QStringLiteral("FILE"));
}

// The largest count an option of the rollout takes.
constexpr int kMaxCount = 1000000;

// The limits of the advance rule, shared by rollout --advance and rollout-status.
struct RolloutLimits
{
    QList<int> schedule;
    std::optional<double> maxFailureRate;
    int minReports = kDefaultMinReports;
    int minFailures = kDefaultMinFailures;
    int perNetwork = kDefaultPerNetwork;
};

struct RolloutLimitOptions
{
    QCommandLineOption schedule{
        QStringLiteral("schedule"),
        Texts::tr("The steps of --advance, rising percentages (default 1,5,25,50,100)."),
        QStringLiteral("LIST"), QStringLiteral("1,5,25,50,100")};
    QCommandLineOption maxFailureRate{
        QStringLiteral("max-failure-rate"),
        Texts::tr("The failure rate (rolled back or recovered) a release may have, as 0.02 "
                  "or 2%."),
        QStringLiteral("R")};
    QCommandLineOption minReports{
        QStringLiteral("min-reports"),
        Texts::tr("The installations counted that --advance needs before it moves on (default "
                  "%1).")
            .arg(kDefaultMinReports),
        QStringLiteral("N"), QString::number(kDefaultMinReports)};
    QCommandLineOption minFailures{
        QStringLiteral("min-failures"),
        Texts::tr("The failed installations a halt needs, from at least two networks (default "
                  "%1).")
            .arg(kDefaultMinFailures),
        QStringLiteral("N"), QString::number(kDefaultMinFailures)};
    QCommandLineOption perNetwork{
        QStringLiteral("per-network"),
        Texts::tr("How many installations of one client network (IPv4 /24, IPv6 /48) count "
                  "for a release, at most (default %1): reports are unauthenticated, and one "
                  "sender can make up any number of installations.")
            .arg(kDefaultPerNetwork),
        QStringLiteral("N"), QString::number(kDefaultPerNetwork)};

    QList<QCommandLineOption> all() const
    {
        return {schedule, maxFailureRate, minReports, minFailures, perNetwork};
    }

    // The limits given, or nothing after a usage message.
    std::optional<RolloutLimits> read(Command &command) const
    {
        RolloutLimits limits;
        if (command.parser.isSet(maxFailureRate)) {
            limits.maxFailureRate = failureRate(command.parser.value(maxFailureRate));
            if (!limits.maxFailureRate) {
                command.usage(Texts::tr("--max-failure-rate needs a rate above 0 and below 1, "
                                        "such as 0.02 or 2%"));
                return std::nullopt;
            }
        }
        const std::optional<QList<int>> steps = rolloutSchedule(command.parser.value(schedule));
        if (!steps) {
            command.usage(Texts::tr("--schedule needs rising percentages from 1 to 100, such "
                                    "as 1,5,25,50,100"));
            return std::nullopt;
        }
        limits.schedule = *steps;
        const std::optional<int> reports = command.number(minReports, 1, kMaxCount);
        const std::optional<int> failures = reports ? command.number(minFailures, 1, kMaxCount)
                                                    : std::nullopt;
        const std::optional<int> network = failures ? command.number(perNetwork, 1, kMaxCount)
                                                    : std::nullopt;
        if (!network)
            return std::nullopt;
        limits.minReports = *reports;
        limits.minFailures = *failures;
        limits.perNetwork = *network;
        return limits;
    }
};

void addAccessLogs(ReportTally &tally, const QCommandLineParser &parser,
                   const QCommandLineOption &accessLog)
{
    for (const QString &file : parser.values(accessLog))
        tally.addLogFile(file);
}

int rollout(const QStringList &arguments)
{
    Command command(
        QStringLiteral("rollout"),
        Texts::tr("Signs the channel's current release again with another rollout "
                  "percentage: the share of installations that take it (0 halts it: no "
                  "installation takes it any more, not even on an explicit check; those that "
                  "have it keep it), or marked critical. Everything else stays as signed; each "
                  "signed state is "
                  "kept beside the history as releases/<sequence>.signed-<n>.json. With "
                  "--advance, the outcome reports logged in the access logs since the current "
                  "percentage was signed decide: the next step of the schedule once the failure "
                  "rate's 95% interval lies below the limit with enough installations counted, "
                  "0 once it lies above it and enough installations from two networks failed "
                  "(exit code 3, for the job to alert someone), otherwise no change."),
        QString(), true);
    const QCommandLineOption feedOption = feedFolderOption();
    const QCommandLineOption channel = channelOption(Texts::tr("The channel"));
    const QCommandLineOption key = privateKeyOption();
    const QCommandLineOption percentOption(
        QStringLiteral("percent"), Texts::tr("The new percentage, 0 to 100."),
        QStringLiteral("N"));
    const QCommandLineOption advance(
        QStringLiteral("advance"),
        Texts::tr("Move on, hold or halt by the outcome reports (for a scheduled job)."));
    const RolloutLimitOptions limitOptions;
    const QCommandLineOption accessLog = accessLogOption();
    const QCommandLineOption criticalOption(
        QStringLiteral("critical"),
        Texts::tr("Mark the release critical: every installation takes it at any percentage "
                  "above 0, and a later release names it as its fallback (a security fix). "
                  "Alone or with --percent."));
    command.parser.addOptions({feedOption, channel, key, percentOption, advance, accessLog,
                               criticalOption});
    command.parser.addOptions(limitOptions.all());
    if (const int code = command.parse(arguments, 0); code >= 0)
        return code;
    for (const QCommandLineOption *required : {&feedOption, &key}) {
        if (!command.parser.isSet(*required))
            return command.missing(required->names().first());
    }
    const bool advancing = command.parser.isSet(advance);
    const bool marking = command.parser.isSet(criticalOption);
    if (advancing && command.parser.isSet(percentOption))
        return command.usage(Texts::tr("rollout takes --percent or --advance, not both"));
    if (advancing && marking)
        return command.usage(Texts::tr("rollout takes --critical or --advance, not both"));
    if (!advancing && !marking && !command.parser.isSet(percentOption))
        return command.usage(Texts::tr("rollout needs either --percent or --advance"));
    RolloutOptions options;
    options.feedDir = command.parser.value(feedOption);
    options.channel = command.parser.value(channel);
    options.keyPath = command.parser.value(key);
    options.critical = marking;

    QString decision;
    RolloutMove move = RolloutMove::Hold;
    if (advancing) {
        if (!command.parser.isSet(limitOptions.maxFailureRate))
            return command.missing(QStringLiteral("max-failure-rate"));
        if (!command.parser.isSet(accessLog))
            return command.missing(QStringLiteral("access-log"));
        const std::optional<RolloutLimits> limits = limitOptions.read(command);
        if (!limits)
            return kUsage;
        const SigningKey signingKey = SigningKey::fromFile(options.keyPath);
        const FeedRelease current = currentFeedRelease(options.feedDir, options.channel,
                                                       UpdateSigningKey{signingKey.modulusHex()});
        const qint32 sequence = current.manifest.sequence;
        const int percent = current.extras.percent();
        // Only the reports logged since the current percentage was signed decide its step.
        ReportTally tally(options.channel, limits->perNetwork);
        if (current.extras.rolloutSince)
            tally.countAfter(sequence, *current.extras.rolloutSince);
        addAccessLogs(tally, command.parser, accessLog);
        const RolloutDecision step =
            decideRolloutStep(percent, limits->schedule, tally.release(sequence),
                              *limits->maxFailureRate, limits->minReports, limits->minFailures);
        decision = Texts::tr("sequence %1: %2 (reports %3)")
                       .arg(sequence)
                       .arg(step.why,
                            current.extras.rolloutSince
                                ? Texts::tr("since %1").arg(expiryText(*current.extras.rolloutSince))
                                : Texts::tr("since it was published"));
        move = step.move;
        options.percent = step.percent;
        // The decision holds for the state it was made on; a run that changed it meanwhile wins.
        options.expectedPercent = percent;
    } else if (command.parser.isSet(percentOption)) {
        const std::optional<int> percent = command.number(percentOption, 0, 100);
        if (!percent)
            return kUsage;
        options.percent = *percent;
    } else {
        options.percent = std::nullopt; // --critical alone: the share stays
    }

    const RolloutSummary summary = setRollout(options);
    // A scheduled job learns from the exit code alone that this run stopped the release (and can
    // alert someone); a release found halted already, or held, is no news.
    const bool halted = move == RolloutMove::Halt && summary.previousPercent > 0;
    if (command.json()) {
        QJsonObject json{{QStringLiteral("channel"), options.channel},
                         {QStringLiteral("version"), summary.manifest.version},
                         {QStringLiteral("sequence"), summary.manifest.sequence},
                         {QStringLiteral("percent"), summary.percent},
                         {QStringLiteral("previousPercent"), summary.previousPercent},
                         {QStringLiteral("critical"), summary.critical},
                         {QStringLiteral("since"), orNull(summary.since)},
                         {QStringLiteral("changed"), !summary.keptPath.isEmpty()},
                         {QStringLiteral("kept"), summary.keptPath.isEmpty() ? QJsonValue() : QJsonValue(summary.keptPath)},
                         {QStringLiteral("manifest"), summary.manifestPath}};
        if (advancing) {
            static const char *const moves[] = {"hold", "advance", "halt"};
            json.insert(QStringLiteral("decision"),
                        QJsonObject{{QStringLiteral("move"), QLatin1String(moves[int(move)])},
                                    {QStringLiteral("why"), decision}});
        }
        printJson(json);
        return halted ? kHalted : kDone;
    }
    out() << Texts::tr("channel:  %1\n"
                       "version:  %2 (sequence %3)\n")
                 .arg(options.channel, summary.manifest.version,
                      QString::number(summary.manifest.sequence));
    if (!decision.isEmpty())
        out() << Texts::tr("decision: %1\n").arg(decision);
    if (summary.keptPath.isEmpty())
        out() << Texts::tr("rollout:  %1% (unchanged)\n").arg(summary.percent);
    else
        out() << Texts::tr("rollout:  %1% (before: %2%)\n"
                           "kept:     %3\n")
                     .arg(QString::number(summary.percent), QString::number(summary.previousPercent),
                          summary.keptPath);
    if (summary.critical)
        out() << Texts::tr("critical: every installation takes it at any percentage above 0%1\n")
                     .arg(summary.previousCritical ? QString() : Texts::tr(" (marked now)"));
    out() << Texts::tr("manifest: %1").arg(summary.manifestPath) << Qt::endl;
    return halted ? kHalted : kDone;
}

// One release in rollout-status.
struct StatusRow
{
    ReleaseReports reports;
    std::optional<FeedRelease> state; // as signed last, with the feed
    bool current = false;
    std::optional<int> next;         // the current release's next step
    std::optional<int> needed;       // more installations that step needs
    std::optional<RolloutDecision> decision;
};

// What the current release's next step is, and what it needs, under the limits given.
void decideNextStep(StatusRow &row, const RolloutLimits &limits)
{
    const int percent = row.state->extras.percent();
    row.next = nextRolloutStep(percent, limits.schedule);
    if (limits.maxFailureRate) {
        row.decision = decideRolloutStep(percent, limits.schedule, row.reports,
                                         *limits.maxFailureRate, limits.minReports,
                                         limits.minFailures);
        if (row.next)
            row.needed = installationsToAdvance(row.reports, *limits.maxFailureRate,
                                                limits.minReports);
    }
}

/*
    A row for each release with reports, and for the current release also without; with the feed,
    only the releases the feed published, each in the state it was signed in last.
*/
QList<StatusRow> statusRows(const ReportTally &tally, const std::optional<FeedRelease> &current,
                            const QString &feedDir, const QString &name,
                            const std::optional<UpdateSigningKey> &checkKey,
                            const RolloutLimits &limits)
{
    QList<ReleaseReports> counted = tally.releases();
    if (current && !tally.release(current->manifest.sequence).reports()) {
        counted.append(tally.release(current->manifest.sequence));
        std::sort(counted.begin(), counted.end(),
                  [](const ReleaseReports &a, const ReleaseReports &b) { return a.sequence < b.sequence; });
    }
    QList<StatusRow> rows;
    for (const ReleaseReports &reports : std::as_const(counted)) {
        StatusRow row;
        row.reports = reports;
        if (current) {
            row.current = reports.sequence == current->manifest.sequence;
            row.state = row.current ? current : lastStateOf(feedDir, name, reports.sequence, checkKey);
            // Reports of a sequence the feed never published are no release's.
            if (!row.state)
                continue;
        }
        if (row.current)
            decideNextStep(row, limits);
        rows.append(row);
    }
    return rows;
}

QJsonObject statusRowJson(const StatusRow &row)
{
    static const char *const moves[] = {"hold", "advance", "halt"};
    const ReleaseReports &release = row.reports;
    const RateInterval interval = wilsonInterval(release.failures(), release.reports());
    QJsonObject json{{QStringLiteral("sequence"), release.sequence},
                     {QStringLiteral("installations"), release.reports()},
                     {QStringLiteral("networks"), release.networks},
                     {QStringLiteral("confirmed"), release.confirmed},
                     {QStringLiteral("rolledBack"), release.rolledBack},
                     {QStringLiteral("recovered"), release.recovered},
                     {QStringLiteral("failures"), release.failures()},
                     {QStringLiteral("failedNetworks"), release.failedNetworks},
                     {QStringLiteral("failureRate"), release.failureRate()},
                     {QStringLiteral("interval"), QJsonArray{interval.lower, interval.upper}}};
    if (row.state) {
        const ReleaseExtras &extras = row.state->extras;
        json.insert(QStringLiteral("version"), row.state->manifest.version);
        json.insert(QStringLiteral("percent"), extras.percent());
        json.insert(QStringLiteral("halted"), extras.percent() == 0);
        json.insert(QStringLiteral("critical"), extras.critical);
        json.insert(QStringLiteral("since"), orNull(extras.rolloutSince));
        json.insert(QStringLiteral("current"), row.current);
        json.insert(QStringLiteral("next"),
                    row.next ? QJsonValue(QJsonObject{
                                   {QStringLiteral("percent"), *row.next},
                                   {QStringLiteral("installationsNeeded"),
                                    row.needed ? QJsonValue(*row.needed) : QJsonValue()}})
                             : QJsonValue());
        json.insert(QStringLiteral("decision"),
                    row.decision ? QJsonValue(QJsonObject{
                                       {QStringLiteral("move"), QLatin1String(moves[int(row.decision->move)])},
                                       {QStringLiteral("percent"), row.decision->percent},
                                       {QStringLiteral("why"), row.decision->why}})
                                 : QJsonValue());
    }
    return json;
}

void printStatusJson(const QString &name, const ReportTally &tally, const QList<StatusRow> &rows,
                     const std::optional<FeedRelease> &current)
{
    QJsonArray releases;
    for (const StatusRow &row : rows)
        releases.append(statusRowJson(row));
    QJsonObject json{{QStringLiteral("channel"), name},
                     {QStringLiteral("reportLines"), tally.reportLines()},
                     {QStringLiteral("logLines"), tally.linesRead()},
                     {QStringLiteral("releases"), releases}};
    if (current)
        json.insert(QStringLiteral("current"), current->manifest.sequence);
    printJson(json);
}

void printCurrentLine(const FeedRelease &current)
{
    const ReleaseExtras &extras = current.extras;
    out() << Texts::tr("current:  sequence %1, %2, %3%4\n")
                 .arg(QString::number(current.manifest.sequence), current.manifest.version,
                      extras.percent() == 0 ? Texts::tr("halted")
                                            : Texts::tr("at %1%").arg(extras.percent()),
                      extras.rolloutSince
                          ? Texts::tr(" since %1 (its reports counted from then)")
                                .arg(expiryText(*extras.rolloutSince))
                          : QString());
}

// Without the feed: the reports alone.
void printReportTable(const QList<StatusRow> &rows)
{
    out() << Texts::tr("sequence  installations  confirmed  rolled back  recovered  failure rate  "
                       "95% interval\n");
    for (const StatusRow &row : rows) {
        const ReleaseReports &release = row.reports;
        const RateInterval interval = wilsonInterval(release.failures(), release.reports());
        out() << QString::number(release.sequence).rightJustified(8) << "  "
              << grouped(release.reports()).rightJustified(13) << "  "
              << grouped(release.confirmed).rightJustified(9) << "  "
              << grouped(release.rolledBack).rightJustified(11) << "  "
              << grouped(release.recovered).rightJustified(9) << "  "
              << percentOf(release.failureRate()).rightJustified(12) << "  "
              << Texts::tr("%1 to %2").arg(percentOf(interval.lower), percentOf(interval.upper))
              << "\n";
    }
    out().flush();
}

QString nextStepText(const StatusRow &row)
{
    if (row.decision && row.decision->move == RolloutMove::Halt)
        return Texts::tr("halts now");
    if (row.decision && row.decision->move == RolloutMove::Advance)
        return Texts::tr("%1% now").arg(row.decision->percent);
    if (row.next && row.needed)
        return Texts::tr("%1% after %2 more installations").arg(*row.next).arg(grouped(*row.needed));
    if (row.next)
        return Texts::tr("%1% (give --max-failure-rate for what it needs)").arg(*row.next);
    return QStringLiteral("-");
}

// With the feed: each release's version and rollout, and the current release's next step.
void printRolloutTable(const QList<StatusRow> &rows)
{
    out() << Texts::tr("sequence  version     rollout  installations (networks)  failures  "
                       "95% interval     next step\n");
    for (const StatusRow &row : rows) {
        const ReleaseReports &release = row.reports;
        const RateInterval interval = wilsonInterval(release.failures(), release.reports());
        const int percent = row.state->extras.percent();
        out() << QString::number(release.sequence).rightJustified(8) << "  "
              << row.state->manifest.version.leftJustified(10) << "  "
              << (percent == 0 ? Texts::tr("halted") : QString::number(percent) + u'%').rightJustified(7)
              << "  "
              << (grouped(release.reports()) + QStringLiteral(" (") + grouped(release.networks)
                  + u')')
                     .rightJustified(24)
              << "  " << grouped(release.failures()).rightJustified(8) << "  "
              << Texts::tr("%1 to %2")
                     .arg(percentOf(interval.lower), percentOf(interval.upper))
                     .leftJustified(15)
              << "  " << nextStepText(row) << "\n";
    }
    out().flush();
}

void printStatusText(const QString &name, const ReportTally &tally, const QList<StatusRow> &rows,
                     const std::optional<FeedRelease> &current)
{
    out() << Texts::tr("channel:  %1 (%2 reports in %3 log lines)\n")
                 .arg(name, grouped(tally.reportLines()), grouped(tally.linesRead()));
    if (current)
        printCurrentLine(*current);
    if (rows.isEmpty())
        out() << Texts::tr("no reports") << Qt::endl;
    else if (current)
        printRolloutTable(rows);
    else
        printReportTable(rows);
}

/*
    With the feed, the current release is counted as its next step will be decided: on the
    reports of its current step alone.
*/
FeedRelease currentCountedByStep(ReportTally &tally, const QString &feedDir, const QString &name,
                                 const std::optional<UpdateSigningKey> &checkKey)
{
    FeedRelease current = currentFeedRelease(feedDir, name, checkKey);
    if (current.extras.rolloutSince)
        tally.countAfter(current.manifest.sequence, *current.extras.rolloutSince);
    return current;
}

int rolloutStatus(const QStringList &arguments)
{
    Command command(
        QStringLiteral("rollout-status"),
        Texts::tr("Summarises the outcome reports of a channel's releases from web server "
                  "access logs: per release the installations that confirmed its start, "
                  "rolled it back and recovered from it (both count as failures), the failure "
                  "rate and its 95% Wilson interval. An installation counts once per release, "
                  "at most --per-network of one client network. With --feed, also each "
                  "release's version and rollout, the current release counted from the start "
                  "of its current step as \"rollout --advance\" counts it, and how many more "
                  "installations its next step needs under the limits given."),
        QString(), true);
    const QCommandLineOption channel = channelOption(Texts::tr("The channel"));
    const QCommandLineOption accessLog = accessLogOption();
    const QCommandLineOption feedOption(
        QStringLiteral("feed"),
        Texts::tr("The feed folder: show each release's version and rollout, and what the "
                  "current release's next step needs."),
        QStringLiteral("DIR"));
    const KeyOption key;
    const RolloutLimitOptions limitOptions;
    command.parser.addOptions({channel, accessLog, feedOption, key.option});
    command.parser.addOptions(limitOptions.all());
    if (const int code = command.parse(arguments, 0); code >= 0)
        return code;
    if (!command.parser.isSet(accessLog))
        return command.missing(QStringLiteral("access-log"));
    const std::optional<RolloutLimits> limits = limitOptions.read(command);
    if (!limits)
        return kUsage;
    const QString name = command.parser.value(channel);
    if (!protocol::isValidChannelName(name))
        throw Texts::tr("the channel name \"%1\" is not %2").arg(name, protocol::kChannelNameRule);

    ReportTally tally(name, limits->perNetwork);
    const QString feedDir = command.parser.value(feedOption);
    const std::optional<UpdateSigningKey> checkKey = key.value(command.parser);
    std::optional<FeedRelease> current;
    if (command.parser.isSet(feedOption))
        current = currentCountedByStep(tally, feedDir, name, checkKey);
    addAccessLogs(tally, command.parser, accessLog);
    const QList<StatusRow> rows = statusRows(tally, current, feedDir, name, checkKey, *limits);

    if (command.json())
        printStatusJson(name, tally, rows, current);
    else
        printStatusText(name, tally, rows, current);
    return kDone;
}

int prune(const QStringList &arguments)
{
    Command command(QStringLiteral("prune"),
                    Texts::tr("Removes the blobs of a feed (packed files and deltas) that "
                              "neither a channel's current manifest nor its last N releases "
                              "in <channel>/releases/ name; the history files stay. Every "
                              "manifest is read and verified first; one that cannot be stops "
                              "it with nothing removed. On a remote host, remove blobs only "
                              "once the manifests that dropped them are live and cached "
                              "copies of the old ones have expired."),
                    QString(), true);
    const QCommandLineOption feedOption = feedFolderOption();
    const QCommandLineOption keepOption(
        QStringLiteral("keep"),
        Texts::tr("Keep the blobs of each channel's last N releases, deltas included (default "
                  "%1; 0 keeps only what the current manifests name).")
            .arg(kDefaultPruneKeep),
        QStringLiteral("N"), QString::number(kDefaultPruneKeep));
    const QCommandLineOption dryRun(
        QStringLiteral("dry-run"),
        Texts::tr("Only say what would be removed; remove nothing."));
    const KeyOption key;
    command.parser.addOptions({feedOption, keepOption, dryRun, key.option});
    if (const int code = command.parse(arguments, 0); code >= 0)
        return code;
    if (!command.parser.isSet(feedOption))
        return command.missing(QStringLiteral("feed"));
    const std::optional<int> keep = command.number(keepOption, 0, kManifestMaxSequence);
    if (!keep)
        return kUsage;

    const bool onlyLook = command.parser.isSet(dryRun);
    const PruneSummary summary = pruneFeed(command.parser.value(feedOption),
                                           key.value(command.parser), *keep, onlyLook);
    if (command.json()) {
        QJsonObject json{{QStringLiteral("dryRun"), onlyLook},
                   {QStringLiteral("channels"), QJsonArray::fromStringList(summary.channels)},
                   {QStringLiteral("releasesKept"), summary.releasesKept},
                   {QStringLiteral("blobsRemoved"), summary.blobsRemoved},
                   {QStringLiteral("bytesRemoved"), summary.bytesRemoved},
                   {QStringLiteral("removed"), QJsonArray::fromStringList(summary.removed)},
                   {QStringLiteral("leftoversRemoved"), summary.leftoversRemoved},
                   {QStringLiteral("blobsKept"), summary.blobsKept},
                   {QStringLiteral("bytesKept"), summary.bytesKept},
                   {QStringLiteral("missingBlobs"), QJsonArray::fromStringList(summary.missingBlobs)},
                   {QStringLiteral("leftAlone"), QJsonArray::fromStringList(summary.leftAlone)}};
        if (!summary.missingBlobs.isEmpty())
            json.insert(QStringLiteral("error"),
                        Texts::tr("%1 blobs named by a current manifest are missing")
                            .arg(summary.missingBlobs.size()));
        printJson(json);
        return summary.missingBlobs.isEmpty() ? kDone : kFailed;
    }
    if (onlyLook) {
        for (const QString &name : std::as_const(summary.removed))
            out() << Texts::tr("would remove: blobs/%1\n").arg(name);
    }
    out() << Texts::tr("channels: %1 (%2 releases of their history kept)\n")
                 .arg(summary.channels.join(QStringLiteral(", ")), grouped(summary.releasesKept))
          << (onlyLook ? Texts::tr("would prune: %1 blobs (%2 bytes)")
                       : Texts::tr("pruned:   %1 blobs (%2 bytes)"))
                 .arg(grouped(summary.blobsRemoved), grouped(summary.bytesRemoved));
    if (summary.leftoversRemoved > 0)
        out() << Texts::tr(" and %1 files left by interrupted publishes")
                     .arg(grouped(summary.leftoversRemoved));
    out() << Texts::tr("\nkept:     %1 blobs (%2 bytes)")
                 .arg(grouped(summary.blobsKept), grouped(summary.bytesKept))
          << Qt::endl;
    for (const QString &name : std::as_const(summary.leftAlone))
        err() << Texts::tr("left alone: blobs/%1 (not a blob name)").arg(name) << Qt::endl;
    if (!summary.missingBlobs.isEmpty()) {
        for (const QString &digest : std::as_const(summary.missingBlobs))
            err() << Texts::tr("missing: blobs/%1 is named by a manifest but absent").arg(digest)
                  << Qt::endl;
        return kFailed;
    }
    return kDone;
}

} // namespace

static int runCommand(const QStringList &arguments)
{
    const QString name = arguments.value(1);
    if (name.isEmpty() || name == QStringLiteral("--help") || name == QStringLiteral("-h")
        || name == QStringLiteral("help")) {
        (name.isEmpty() ? err() : out()) << Texts::tr(kOverview);
        return name.isEmpty() ? kUsage : kDone;
    }
    if (name == QStringLiteral("--version") || name == QStringLiteral("version")) {
        out() << kToolName << ' ' << VELLUMIX_VERSION << Qt::endl;
        return kDone;
    }
    try {
        if (name == QStringLiteral("keygen"))
            return keygen(arguments);
        if (name == QStringLiteral("modulus"))
            return modulus(arguments);
        if (name == QStringLiteral("stage"))
            return stage(arguments);
        if (name == QStringLiteral("verify"))
            return verify(arguments);
        if (name == QStringLiteral("publish"))
            return publish(arguments);
        if (name == QStringLiteral("prune"))
            return prune(arguments);
        if (name == QStringLiteral("refresh"))
            return refresh(arguments);
        if (name == QStringLiteral("rollout"))
            return rollout(arguments);
        if (name == QStringLiteral("rollout-status"))
            return rolloutStatus(arguments);
        if (name == QStringLiteral("installer"))
            return installer(arguments);
    } catch (const QString &failure) {
        err() << kToolName << ": " << failure << Qt::endl;
        if (arguments.contains(QStringLiteral("--json")))
            printJson({{QStringLiteral("error"), failure}});
        // Stopped by a signal: the code a shell gives a process that the signal ended.
        if (const int signal = terminationSignal())
            return 128 + signal;
        return kFailed;
    }
    const QString unknown = Texts::tr("unknown command \"%1\"").arg(name);
    err() << kToolName << ": " << unknown << "\n\n" << Texts::tr(kOverview);
    if (arguments.contains(QStringLiteral("--json")))
        printJson({{QStringLiteral("error"), unknown}});
    return kUsage;
}

int runPublisher(const QStringList &arguments)
{
    const int code = runCommand(arguments);
    out().flush();
    err().flush();
    return code;
}

} // namespace vellumix::publish
