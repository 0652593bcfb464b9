#include "fetchcli.h"
#include "fetchtexts.h"

#include <vellumix/startup.h>
#include <vellumix/updateclient.h>

#include "console.h"

#include <QCommandLineParser>
#include <QRegularExpression>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QNetworkProxy>
#include <QProcess>
#include <QTextStream>
#include <QTimer>

#include <atomic>
#include <optional>
#include <csignal>
#include <cstdio>

namespace vellumix::fetch {

namespace {

// The whole help as one text, so that a translation can lay it out as its language needs.
QString helpText()
{
    return Texts::tr(R"(Usage: vellumix-fetch <command> --feed FEED --root DIR [options]
       vellumix-fetch status --root DIR

Checks a Vellumix update feed, downloads an update into a staging directory (only the files
that differ from the installation, each verified before it is staged; an interrupted download
resumes), and starts the updater.

Commands:
  check     print what the feed offers, as one JSON object on standard output
  download  check, then download the update into --stage
  apply     check, download, then start the updater of --root for the stage
  status    print what became of the last update of --root and the releases that failed
            there, as one JSON object

Options:
  --feed FEED        the feed: an http(s) URL or a local directory
  --root DIR         the program root of the installation
  --channel NAME     the feed's channel (default: stable)
  --stage DIR        the staging directory (download, apply)
  --connections N    HTTP/1.1 connections (transfers at once), 1 to 16 (default: 4)
  --streams N        over HTTP/2, requests open at once on the one connection, 1 to 256
                     (default: 32)
  --ca-file PEM      also trust the certificate authorities in this file
  --proxy PROXY      the proxy of every request: "system" (the default: the system's proxy
                     settings), "none" (connect directly), or http://[USER:PASSWORD@]HOST:PORT
                     or socks5://[USER:PASSWORD@]HOST:PORT (the credentials are for the proxy
                     and never printed)
  --header "NAME: VALUE"
                     send this header with every request to the feed's own origin (scheme,
                     host and port), never elsewhere: a token of a private feed; may be given
                     several times
  --cache-dir DIR    where the last verified manifest is kept, so that a check of an unchanged
                     feed costs a 304 answer (default: a per-user folder under the cache location)
  --manifest-timeout S  the whole manifest request may take S seconds (default: 60)
  --header-timeout S    a request's answer must begin within S seconds (default: 15)
  --check-timeout S     the whole check, every try included, ends within S seconds
                        (default: 120)
  --min-rate B       a file that arrives slower than B bytes per second over 30 seconds is
                     given up and tried again (default: 1024)
  --sequence N       the sequence of the installed build when it has no installed record yet
                     (default: 0, so any release is newer)
  --wait             apply: wait for the updater and exit with its exit code
  --parent PID       apply: the application process the updater waits for before it changes
                     anything (default: this program when not waiting, none with --wait)
  --quiet            apply: the updater writes its final text to its log, no message box
  --retry-failed     download, apply: take the release even though it failed on this
                     installation before (it was rolled back, recovered or not installed);
                     without it such a release is reported and left alone
  --ignore-rollout   take the channel's release even while it is rolled out to a share of
                     installations that leaves this one out (a person's "check now"); a
                     halted release (0 %) stays halted
  --send-reports     send the outcome of the last update of --root to the address its release
                     names, once (the release's channel and sequence, the outcome and a hash
                     of this installation's random id; nothing else)

The credentials of a private feed (HTTP Basic) come from the environment variable
VELLUMIX_FEED_CREDENTIALS, as USER:PASSWORD; like --header, they go to the feed's origin only.

Exit codes:
  0   check: an update is available; download: it is staged; apply: the updater was started
      (with --wait: the updater ended with 0)
  1-6 apply --wait: the updater's own exit code
  10  no update: the feed offers nothing newer than what is installed, only a release
      that failed here before ("failedHere" says how), or one that is being rolled out and
      not offered to this installation yet ("rollout" says so)
  11  failed: the reason is printed (JSON on standard output, a line on standard error)
  12  interrupted (Ctrl+C); what was complete stays staged
  64  usage error
)");
}

std::atomic<bool> g_interrupted{false};

// A proxy as --proxy names it; nothing for a text that names none.
std::optional<QNetworkProxy> proxyFromUserInput(const QString &text)
{
    if (text == u"system")
        return QNetworkProxy(QNetworkProxy::DefaultProxy);
    if (text == u"none")
        return QNetworkProxy(QNetworkProxy::NoProxy);
    const QUrl url(text, QUrl::StrictMode);
    const bool http = url.scheme() == u"http";
    if (!url.isValid() || (!http && url.scheme() != u"socks5") || url.host().isEmpty()
        || url.port() <= 0 || (!url.path().isEmpty() && url.path() != u"/") || url.hasQuery()
        || url.hasFragment())
        return std::nullopt;
    return QNetworkProxy(http ? QNetworkProxy::HttpProxy : QNetworkProxy::Socks5Proxy, url.host(),
                         quint16(url.port()), url.userName(QUrl::FullyDecoded),
                         url.password(QUrl::FullyDecoded));
}

// A feed as it was given, for a message: what stands before its last "@" may be a user and a
// password, and is left out whatever it holds. A password that a URL would have to escape ("/",
// "@", a space) ends the user information for withoutUserInfo(), not for the person who typed it.
QString feedForMessage(const QString &text)
{
    const qsizetype at = text.lastIndexOf(u'@');
    if (at < 0)
        return withoutUserInfo(text);
    const qsizetype scheme = text.indexOf(u"://");
    return (scheme >= 0 && scheme < at ? text.left(scheme + 3) : QString()) + text.mid(at + 1);
}

// Why --header cannot take `line` ("NAME: VALUE"), or nothing. The text names the header but
// never its value, which is there to carry a token: the name is what stands before the colon when
// that reads as a header name, and "the header" otherwise (a line without a colon, or whose part
// before it is no name, may be a value alone).
QString headerProblem(const QString &option, const QString &line)
{
    static const QRegularExpression token(
        QRegularExpression::anchoredPattern(QStringLiteral("[!#$%&'*+.^_`|~0-9A-Za-z-]+")));
    const qsizetype colon = line.indexOf(u':');
    if (colon > 0 && token.match(line.left(colon)).hasMatch())
        return {};
    const QString name = colon > 0 ? line.left(colon).trimmed() : QString();
    if (token.match(name).hasMatch())
        //: --header's value is wrong; %2 is the header's name, its value is never shown
        return Texts::tr("--%1 needs \"NAME: VALUE\"; the header \"%2\" is not written so (its "
                         "value is not shown)")
            .arg(option, name);
    //: --header's value is wrong and no header name can be read from it; it is never shown
    return Texts::tr("--%1 needs \"NAME: VALUE\"; the header given is not written so (it is not "
                     "shown)")
        .arg(option);
}

extern "C" void onInterrupt(int)
{
    g_interrupted = true;
}

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

QTextStream &err()
{
    static QTextStream stream(stderr);
    /*
        The messages are for the person at the console, and a Windows console shows a program's
        bytes in a code page of the system (936 on a Chinese Windows), not as UTF-8; Qt's own
        warnings are written the same way. Standard output stays UTF-8: it carries JSON, for
        programs.
    */
    static const bool inSystemCodePage = os::consoleUsesSystemCodePage()
        && (stream.setEncoding(QStringConverter::System), true);
    Q_UNUSED(inSystemCodePage);
    return stream;
}

void printJson(const QJsonObject &object)
{
    out() << QJsonDocument(object).toJson(QJsonDocument::Indented);
    out().flush();
}

// Prints `failure` with the members of `besides` beside it, and says so on standard error.
int reportFailure(const UpdateFailure &failure, const QJsonObject &besides = {})
{
    if (failure.reason == UpdateFailureReason::Cancelled && g_interrupted)
        return kInterrupted;
    QJsonObject printed = besides;
    printed.insert(QStringLiteral("error"),
                   QJsonObject{{QStringLiteral("reason"), failure.reasonName()},
                               {QStringLiteral("message"), failure.userText()},
                               {QStringLiteral("detail"), failure.detail}});
    printJson(printed);
    // The reason's text (translated by the client library), its stable name and the detail for
    // the log. One pass of arg(): a detail (a URL, a path) may hold "%2" itself.
    QString line;
    if (failure.detail.isEmpty()) {
        //: a failure: the reason's text, then its name for logs (feed-unreachable, ...)
        line = Texts::tr("%1 (%2)").arg(failure.userText(), failure.reasonName());
    } else {
        //: a failure: the reason's text, its name for logs, then the technical detail
        line = Texts::tr("%1 (%2: %3)").arg(failure.userText(), failure.reasonName(), failure.detail);
    }
    err() << "vellumix-fetch: " << line << Qt::endl;
    return kFailed;
}

QString sizeText(qint64 bytes)
{
    static const QLocale english(QLocale::English, QLocale::UnitedStates);
    return english.formattedDataSize(bytes);
}

// Progress on standard error: one rewritten bar on a terminal, a plain line now and then
// otherwise (logs of scripts stay short).
class ProgressView
{
public:
    ProgressView() : m_terminal(os::isTerminal(stderr)) {}

    void show(const DownloadProgress &p, bool last)
    {
        if (!m_terminal) {
            if (!m_clock.isValid() || m_clock.elapsed() >= 2000 || last) {
                m_clock.start();
                err() << Texts::tr("download: %1/%2 files, %3 of %4")
                                 .arg(QString::number(p.filesDone), QString::number(p.filesTotal),
                                      sizeText(p.bytesDone), sizeText(p.bytesTotal))
                      << Qt::endl;
            }
            return;
        }
        const int width = 30;
        const int filled = p.bytesTotal > 0 ? int(width * p.bytesDone / p.bytesTotal) : width;
        err() << '\r' << '[' << QString(filled, u'#') << QString(width - filled, u'.') << "] "
              << Texts::tr("%1 / %2, %3/%4 files")
                     .arg(sizeText(p.bytesDone), sizeText(p.bytesTotal),
                          QString::number(p.filesDone), QString::number(p.filesTotal))
              << "  ";
        if (last)
            err() << '\n';
        err().flush();
    }

private:
    bool m_terminal;
    QElapsedTimer m_clock;
};

QJsonObject describe(const UpdateOutcome &outcome)
{
    QJsonObject object = outcome.toJson();
    object.insert(QStringLiteral("message"), outcome.userText());
    return object;
}

QJsonObject describe(const UpdateInfo &update)
{
    QJsonObject object{{QStringLiteral("update"), update.isAvailable()},
            {QStringLiteral("installedSequence"), update.installedSequence()},
            {QStringLiteral("sequence"), update.sequence()},
            {QStringLiteral("version"), update.version()},
            {QStringLiteral("notes"), update.notes()},
            {QStringLiteral("files"), update.fileCount()},
            {QStringLiteral("filesToFetch"), update.filesToFetch()},
            {QStringLiteral("filesAsDeltas"), update.filesAsDeltas()},
            {QStringLiteral("fetchBytes"), update.downloadBytes()},
            {QStringLiteral("fetchUnpackedBytes"), update.downloadUnpackedBytes()},
            {QStringLiteral("releaseBytes"), update.releaseBytes()},
            {QStringLiteral("releasePackedBytes"), update.releasePackedBytes()}};
    if (update.hasFailedHere())
        object.insert(QStringLiteral("failedHere"), describe(update.failedHere()));
    // The channel's current release while it is rolled out: its percentage and whether this
    // installation has it; a fallback offered meanwhile names the release it stands in for.
    if (update.rolloutPercent() < 100 || !update.isOfferedHere()) {
        QJsonObject rollout{{QStringLiteral("percent"), update.rolloutPercent()},
                            {QStringLiteral("offered"), update.isOfferedHere()}};
        if (update.isFallback())
            rollout.insert(QStringLiteral("fallbackFor"), update.currentSequence());
        object.insert(QStringLiteral("rollout"), rollout);
    }
    return object;
}

// What became of the last update of a root, and the releases that failed there.
int printStatus(const QString &programRoot)
{
    const UpdateOutcome last = lastUpdateOutcome(programRoot);
    QJsonArray failed;
    for (const UpdateOutcome &release : failedReleases(programRoot))
        failed.append(describe(release));
    const std::optional<InstalledRelease> installed = installedRelease(programRoot);
    QJsonObject status{{QStringLiteral("lastUpdate"),
                        last.isValid() ? QJsonValue(describe(last)) : QJsonValue()},
                       {QStringLiteral("failedReleases"), failed},
                       {QStringLiteral("recoveryPending"), recoveryPending(programRoot)},
                       {QStringLiteral("updaterRunning"), updaterRunning(programRoot)}};
    if (installed)
        status.insert(QStringLiteral("installed"),
                      QJsonObject{{QStringLiteral("sequence"), installed->sequence},
                                  {QStringLiteral("version"), installed->version}});
    printJson(status);
    return kDone;
}

// Runs the event loop until `operation` has finished; Ctrl+C cancels it.
void await(UpdateOperation *operation)
{
    QTimer interruptWatch;
    QObject::connect(&interruptWatch, &QTimer::timeout, operation, [operation] {
        if (g_interrupted)
            operation->cancel();
    });
    interruptWatch.start(100);
    QObject::connect(operation, &UpdateOperation::finished, operation,
                     [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
}

// The options of the commands, and the parser that reads them.
struct CommandLine
{
    CommandLine()
    {
        parser.addOptions({feed, root, channel, stage, connections, streams, caFile, cacheDir,
                           manifestTimeout, headerTimeout, checkTimeout, minRate, sequence, wait,
                           parent, quiet, retryFailed, ignoreRollout, sendReports, proxy, header,
                           help});
    }

    QCommandLineParser parser;
    const QCommandLineOption feed{QStringLiteral("feed"), QString(), QStringLiteral("FEED")};
    const QCommandLineOption root{QStringLiteral("root"), QString(), QStringLiteral("DIR")};
    const QCommandLineOption channel{QStringLiteral("channel"), QString(), QStringLiteral("NAME"),
                                     QStringLiteral("stable")};
    const QCommandLineOption stage{QStringLiteral("stage"), QString(), QStringLiteral("DIR")};
    const QCommandLineOption connections{QStringLiteral("connections"), QString(),
                                         QStringLiteral("N"), QStringLiteral("4")};
    const QCommandLineOption caFile{QStringLiteral("ca-file"), QString(), QStringLiteral("PEM")};
    const QCommandLineOption streams{QStringLiteral("streams"), QString(), QStringLiteral("N"),
                                     QStringLiteral("32")};
    const QCommandLineOption cacheDir{QStringLiteral("cache-dir"), QString(), QStringLiteral("DIR")};
    const QCommandLineOption manifestTimeout{QStringLiteral("manifest-timeout"), QString(),
                                             QStringLiteral("S"), QStringLiteral("60")};
    const QCommandLineOption headerTimeout{QStringLiteral("header-timeout"), QString(),
                                           QStringLiteral("S"), QStringLiteral("15")};
    const QCommandLineOption checkTimeout{QStringLiteral("check-timeout"), QString(),
                                          QStringLiteral("S"), QStringLiteral("120")};
    const QCommandLineOption minRate{QStringLiteral("min-rate"), QString(), QStringLiteral("B"),
                                     QStringLiteral("1024")};
    const QCommandLineOption sequence{QStringLiteral("sequence"), QString(), QStringLiteral("N"),
                                      QStringLiteral("0")};
    const QCommandLineOption wait{QStringLiteral("wait"), QString()};
    const QCommandLineOption parent{QStringLiteral("parent"), QString(), QStringLiteral("PID")};
    const QCommandLineOption quiet{QStringLiteral("quiet"), QString()};
    const QCommandLineOption retryFailed{QStringLiteral("retry-failed"), QString()};
    const QCommandLineOption ignoreRollout{QStringLiteral("ignore-rollout"), QString()};
    const QCommandLineOption sendReports{QStringLiteral("send-reports"), QString()};
    const QCommandLineOption proxy{QStringLiteral("proxy"), QString(), QStringLiteral("PROXY")};
    const QCommandLineOption header{QStringLiteral("header"), QString(), QStringLiteral("HEADER")};
    const QCommandLineOption help{QStringList{QStringLiteral("help"), QStringLiteral("h")},
                                  QString()};
};

// The usage errors name options as placeholders: a translation keeps them as they are.
QString nameOf(const QCommandLineOption &option)
{
    return option.names().first();
}

int usage(const QString &text)
{
    //: a usage error (one of the texts below, or the command-line parser's), then where to
    //: find the help
    err() << "vellumix-fetch: " << Texts::tr("%1; see \"vellumix-fetch --help\"").arg(text)
          << Qt::endl;
    return kUsage;
}

// The help, the version and an unknown command, which take no options: the exit code when
// `command` is one of them.
std::optional<int> answerWithoutOptions(const QString &command)
{
    if (command.isEmpty() || command == u"--help" || command == u"-h" || command == u"help") {
        (command.isEmpty() ? err() : out()) << helpText();
        return command.isEmpty() ? kUsage : kDone;
    }
    if (command == u"--version" || command == u"version") {
        out() << "vellumix-fetch " << VELLUMIX_VERSION << Qt::endl;
        return kDone;
    }
    if (command != u"check" && command != u"download" && command != u"apply"
        && command != u"status") {
        err() << "vellumix-fetch: " << Texts::tr("unknown command \"%1\"").arg(command) << "\n\n"
              << helpText();
        return kUsage;
    }
    return std::nullopt;
}

// Reads the options after the command: the exit code when the run ends here (a usage error, or
// the help asked for).
std::optional<int> parseOptions(CommandLine &line, const QStringList &arguments)
{
    QCommandLineParser &parser = line.parser;
    QStringList withoutCommand = arguments;
    withoutCommand.removeAt(1);
    if (!parser.parse(withoutCommand)) {
        // Qt names an option it does not know as it was written, and one written after a single
        // "-" letter by letter, with whatever value was joined to it: a password, a token. Only a
        // plain name is shown.
        static const QRegularExpression plainName(
            QRegularExpression::anchoredPattern(QStringLiteral("[A-Za-z0-9][A-Za-z0-9-]{0,39}")));
        const QStringList unknown = parser.unknownOptionNames();
        if (unknown.size() > 1 || (unknown.size() == 1 && !plainName.match(unknown.first()).hasMatch()))
            return usage(Texts::tr("an option is not known (not shown as it was written; options "
                                   "are written --NAME VALUE or --NAME=VALUE)"));
        return usage(parser.errorText());
    }
    if (parser.isSet(line.help)) {
        out() << helpText();
        return kDone;
    }
    // An option given twice is a mistake in a script, not a choice of the last value; --header
    // is meant to repeat.
    QStringList given;
    for (const QString &name : parser.optionNames()) {
        if (given.contains(name) && name != line.header.names().first())
            return usage(Texts::tr("the option --%1 is given more than once").arg(name));
        given << name;
    }
    if (!parser.positionalArguments().isEmpty()) {
        // A header's or a proxy's value that the shell split (not quoted as one argument) leaves
        // its rest, a token perhaps, as an argument of its own: not shown then.
        if (parser.isSet(line.header) || parser.isSet(line.proxy))
            return usage(Texts::tr("unexpected argument (not shown: a value of --%1 or --%2 "
                                   "that holds a space goes in quotes, as one argument)")
                             .arg(nameOf(line.header), nameOf(line.proxy)));
        return usage(Texts::tr("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));
    }
    return std::nullopt;
}

// The status command.
int runStatus(const CommandLine &line)
{
    if (!line.parser.isSet(line.root))
        return usage(Texts::tr("the option --%1 is required").arg(nameOf(line.root)));
    if (!QFileInfo(line.parser.value(line.root)).isDir())
        return usage(Texts::tr("the program root %1 does not exist").arg(line.parser.value(line.root)));
    return printStatus(QFileInfo(line.parser.value(line.root)).absoluteFilePath());
}

// The feed, the channel and the program root: why they cannot be used, empty when they can.
QString readFeedAndRoot(const CommandLine &line, UpdateClientSettings &settings)
{
    const QCommandLineParser &parser = line.parser;
    settings.feed = feedUrlFromUserInput(parser.value(line.feed));
    static const QRegularExpression hostAndPort(QStringLiteral("\\A[A-Za-z0-9.\\[\\]:-]+:[0-9]{1,5}(/|\\z)"));
    if (!settings.feed.isValid() && hostAndPort.match(parser.value(line.feed)).hasMatch())
        return Texts::tr("the feed \"%1\" names a host and port without a scheme; write "
                         "https://%1 (or http://%1)")
            .arg(feedForMessage(parser.value(line.feed)));
    if (!settings.feed.isValid())
        return Texts::tr("the feed \"%1\" is neither an http(s) URL nor a directory")
            .arg(feedForMessage(parser.value(line.feed)));
    settings.channel = parser.value(line.channel);
    if (!isValidChannelName(settings.channel))
        return Texts::tr("a channel name is 1 to 32 of a-z, 0-9 and \"-\"");
    settings.programRoot = parser.value(line.root);
    if (!QFileInfo(settings.programRoot).isDir())
        return Texts::tr("the program root %1 does not exist").arg(settings.programRoot);
    return QString();
}

// The numbers: the built-in sequence, the connections and streams, the time-outs and the
// slowest rate: why one cannot be used, empty when all can.
QString readNumbers(const CommandLine &line, UpdateClientSettings &settings)
{
    const QCommandLineParser &parser = line.parser;
    bool isNumber = false;
    settings.builtInSequence = parser.value(line.sequence).toInt(&isNumber);
    if (!isNumber || settings.builtInSequence < 0)
        return Texts::tr("--%1 needs a whole number").arg(nameOf(line.sequence));
    settings.connections = parser.value(line.connections).toInt(&isNumber);
    if (!isNumber || settings.connections < 1 || settings.connections > 16)
        return Texts::tr("--%1 needs a number from %2 to %3").arg(nameOf(line.connections)).arg(1).arg(16);
    for (const auto &[option, target] :
         {std::pair{&line.manifestTimeout, &settings.manifestTimeoutMs},
          std::pair{&line.headerTimeout, &settings.headerTimeoutMs},
          std::pair{&line.checkTimeout, &settings.checkTimeoutMs}}) {
        const int seconds = parser.value(*option).toInt(&isNumber);
        if (!isNumber || seconds < 1 || seconds > 3600)
            return Texts::tr("--%1 needs a number of seconds from 1 to 3600").arg(nameOf(*option));
        *target = seconds * 1000;
    }
    settings.minimumBytesPerSecond = parser.value(line.minRate).toLongLong(&isNumber);
    if (!isNumber || settings.minimumBytesPerSecond < 0)
        return Texts::tr("--%1 needs a number of bytes per second").arg(nameOf(line.minRate));
    settings.http2Streams = parser.value(line.streams).toInt(&isNumber);
    if (!isNumber || settings.http2Streams < 1 || settings.http2Streams > 256)
        return Texts::tr("--%1 needs a number from %2 to %3").arg(nameOf(line.streams)).arg(1).arg(256);
    return QString();
}

// How the feed is reached: the extra certificates, the proxy, the headers and the credentials:
// why one cannot be used, empty when all can.
QString readFeedAccess(const CommandLine &line, UpdateClientSettings &settings)
{
    const QCommandLineParser &parser = line.parser;
    if (parser.isSet(line.caFile)) {
        const QList<QSslCertificate> cas = QSslCertificate::fromPath(
            parser.value(line.caFile), QSsl::Pem, QSslCertificate::PatternSyntax::FixedString);
        if (cas.isEmpty())
            return Texts::tr("no PEM certificate in %1").arg(parser.value(line.caFile));
        settings.extraCaCertificates = cas;
    }
    if (parser.isSet(line.proxy)) {
        const std::optional<QNetworkProxy> chosen = proxyFromUserInput(parser.value(line.proxy));
        if (!chosen)
            return Texts::tr("--%1 needs \"system\", \"none\", http://HOST:PORT or "
                             "socks5://HOST:PORT")
                .arg(nameOf(line.proxy));
        settings.proxy = *chosen;
    }
    for (const QString &header : parser.values(line.header)) {
        if (const QString problem = headerProblem(nameOf(line.header), header); !problem.isEmpty())
            return problem;
        const qsizetype colon = header.indexOf(u':');
        settings.feedHeaders.append({header.left(colon).toLatin1(), header.mid(colon + 1).trimmed().toUtf8()});
    }
    static constexpr char kCredentialsVariable[] = "VELLUMIX_FEED_CREDENTIALS";
    if (qEnvironmentVariableIsSet(kCredentialsVariable)) {
        const QString credentials = qEnvironmentVariable(kCredentialsVariable);
        const qsizetype colon = credentials.indexOf(u':');
        if (colon <= 0)
            return Texts::tr("%1 needs USER:PASSWORD").arg(QLatin1StringView(kCredentialsVariable));
        settings.feedUser = credentials.left(colon);
        settings.feedPassword = credentials.mid(colon + 1);
    }
    return QString();
}

// The client's settings from the options (`staging`: the command fills a stage): the exit code
// of a usage error in them.
std::optional<int> readSettings(const CommandLine &line, bool staging,
                                UpdateClientSettings &settings)
{
    const QCommandLineParser &parser = line.parser;
    for (const QCommandLineOption *required : {&line.feed, &line.root, &line.stage}) {
        if (!parser.isSet(*required) && (required != &line.stage || staging))
            return usage(Texts::tr("the option --%1 is required").arg(nameOf(*required)));
    }
    if (const QString problem = readFeedAndRoot(line, settings); !problem.isEmpty())
        return usage(problem);
    if (const QString problem = readNumbers(line, settings); !problem.isEmpty())
        return usage(problem);
    if (parser.isSet(line.cacheDir))
        settings.manifestCacheDirectory = QFileInfo(parser.value(line.cacheDir)).absoluteFilePath();
    if (staging)
        settings.stagingDirectory = QFileInfo(parser.value(line.stage)).absoluteFilePath();
    settings.ignoreRollout = parser.isSet(line.ignoreRollout);
    settings.sendOutcomeReports = parser.isSet(line.sendReports);
    if (const QString problem = readFeedAccess(line, settings); !problem.isEmpty())
        return usage(problem);
    return std::nullopt;
}

// The process that the updater waits for (this one unless --parent names another or --wait
// names none): the exit code of a usage error in it.
std::optional<int> readParentId(const CommandLine &line, quint32 &parentId)
{
    parentId = 0;
    if (line.parser.isSet(line.parent)) {
        bool isNumber = false;
        parentId = line.parser.value(line.parent).toUInt(&isNumber);
        if (!isNumber || parentId == 0)
            return usage(Texts::tr("--%1 needs a process id").arg(nameOf(line.parent)));
    } else if (!line.parser.isSet(line.wait)) {
        parentId = quint32(QCoreApplication::applicationPid());
    }
    return std::nullopt;
}

// Fetches the update into the stage, its progress shown on `view`: the exit code when it fails.
// The stage and what it took go into `summary`.
std::optional<int> fetchIntoStage(UpdateClient &client, const UpdateInfo &update,
                                  FailedReleasePolicy policy, ProgressView &view,
                                  const QJsonObject &besides, QJsonObject &summary,
                                  QString &stagingDirectory)
{
    UpdateDownload *download = client.download(update, policy);
    QObject::connect(download, &UpdateDownload::progressChanged, download,
                     [&view](const DownloadProgress &p) { view.show(p, false); });
    await(download);
    if (!download->failure().ok()) {
        if (download->progress().bytesTotal > 0)
            view.show(download->progress(), true);
        return reportFailure(download->failure(), besides);
    }
    view.show(download->progress(), true);
    stagingDirectory = download->stagingDirectory();
    summary.insert(QStringLiteral("staged"), download->stagingDirectory());
    summary.insert(QStringLiteral("bytesTransferred"), download->bytesTransferred());
    summary.insert(QStringLiteral("filesFetched"), download->filesFetched());
    summary.insert(QStringLiteral("filesAlreadyStaged"), download->filesAlreadyStaged());
    summary.insert(QStringLiteral("filesFromDeltas"), download->filesFromDeltas());
    return std::nullopt;
}

// Runs the updater and waits for it to end (--wait): its exit code, and its outcome in `summary`.
int waitForUpdater(const UpdaterCommand &updater, const QString &programRoot,
                   const UpdateInfo &update, const QJsonObject &besides, QJsonObject &summary)
{
    // Waiting: the updater must not wait for this program, which waits for it.
    UpdateFailure failure;
    const int code = runUpdater(updater, programRoot, &failure);
    if (!failure.ok())
        return reportFailure(failure, besides);
    summary.insert(QStringLiteral("updater"), QStringLiteral("exited"));
    summary.insert(QStringLiteral("updaterExitCode"), code < 0 ? kFailed : code);
    const UpdateOutcome outcome = lastUpdateOutcome(programRoot);
    if (outcome.isValid() && outcome.sequence == update.sequence())
        summary.insert(QStringLiteral("outcome"), describe(outcome));
    printJson(summary);
    return code < 0 ? kFailed : code;
}

// Hands the stage to the updater: started, or run and waited for with --wait.
int applyStage(const CommandLine &line, const UpdateClientSettings &settings,
               const QString &stagingDirectory, const UpdateInfo &update,
               FailedReleasePolicy policy, quint32 parentId, const QJsonObject &besides,
               QJsonObject &summary)
{
    // The stage is checked once more right before the updater takes it, as the feed was.
    if (const UpdateFailure failure =
            verifyStagedUpdate(settings.programRoot, stagingDirectory, settings.channel,
                               settings.builtInSequence, policy);
        !failure.ok())
        return reportFailure(failure, besides);
    const UpdaterCommand updater = applyCommand(settings.programRoot, stagingDirectory, parentId,
                                                line.parser.isSet(line.quiet));
    if (line.parser.isSet(line.wait))
        return waitForUpdater(updater, settings.programRoot, update, besides, summary);
    if (const UpdateFailure failure = launchUpdater(updater, settings.programRoot); !failure.ok())
        return reportFailure(failure, besides);
    summary.insert(QStringLiteral("updater"), QStringLiteral("started"));
    printJson(summary);
    return kDone;
}

// Checks the feed and, past the check command, fetches the update and (apply) hands it to the
// updater.
int checkAndFetch(const QString &command, const CommandLine &line,
                  const UpdateClientSettings &settings, quint32 parentId)
{
    UpdateClient client(settings);
    UpdateCheck *check = client.check();
    await(check);
    // With --send-reports, whether the report the last update owes has arrived (now or at an
    // earlier check), and why not: beside whatever is printed.
    QJsonObject besides;
    if (const OutcomeReportStatus report = client.outcomeReportStatus(); report.isValid())
        besides.insert(QStringLiteral("report"), report.toJson());
    if (!check->failure().ok())
        return reportFailure(check->failure(), besides);
    const UpdateInfo update = check->update();
    const FailedReleasePolicy policy =
        line.parser.isSet(line.retryFailed) ? FailedReleasePolicy::Retry : FailedReleasePolicy::Skip;
    const bool taken =
        update.isAvailable() || (update.hasFailedHere() && policy == FailedReleasePolicy::Retry);
    QJsonObject summary = describe(update);
    for (auto member = besides.begin(); member != besides.end(); ++member)
        summary.insert(member.key(), member.value());
    if (command == u"check" || !taken) {
        printJson(summary);
        return taken ? kDone : kNoUpdate;
    }

    ProgressView view;
    QString stagingDirectory;
    if (const std::optional<int> code =
            fetchIntoStage(client, update, policy, view, besides, summary, stagingDirectory))
        return *code;
    if (command == u"download") {
        printJson(summary);
        return kDone;
    }
    return applyStage(line, settings, stagingDirectory, update, policy, parentId, besides, summary);
}

} // namespace

int runFetch(const QStringList &arguments)
{
    const QString command = arguments.value(1);
    if (const std::optional<int> code = answerWithoutOptions(command))
        return *code;
    CommandLine line;
    if (const std::optional<int> code = parseOptions(line, arguments))
        return *code;
    if (command == u"status")
        return runStatus(line);
    UpdateClientSettings settings;
    if (const std::optional<int> code = readSettings(line, command != u"check", settings))
        return *code;
    quint32 parentId = 0;
    if (const std::optional<int> code = readParentId(line, parentId))
        return *code;

    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    return checkAndFetch(command, line, settings, parentId);
}

} // namespace vellumix::fetch
