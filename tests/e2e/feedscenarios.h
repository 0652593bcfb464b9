// The end-to-end scenarios of the application's side, written once: what the feed offers, how
// the application, the guide's program or vellumix-fetch is run, how the feed is reached (plain
// http, https with its authority trusted one way or another, HTTP/2, a private feed, a proxy),
// what befalls the transfer, and what must be true afterwards. The native suite (tst_feed_e2e)
// runs them with this build's programs, the Wine suite (tst_wine_updater) with the Windows
// programs; a scenario that cannot run on one side says why in the table.
#pragma once

#include "scenarios.h"

namespace e2e {

enum class FeedRun {
    StandInUpdates,    // the stand-in checks the feed named on its command line, downloads only
                       // what differs and starts the updater; version 2 confirms (see
                       // runSelfUpdateFromFeed)
    GuideProgramCycle, // the guide's program 1.0.0 updates itself to 2.0.0 (a delta), an update
                       // interrupted before its first change is recovered at the next start,
                       // and 3.0.0 is taken by an installation that has its installed record
    FailedRelease,     // the guide's program 1.0.0 takes a 2.0.0 that does not stay: tried once,
                       // then left alone; a working 3.0.0 published afterwards is taken
    FetchCheck,        // vellumix-fetch check
    FetchCycle,        // vellumix-fetch check, download and apply --wait in a row, then check
                       // and status, as a script runs them
    FetchDownload,     // vellumix-fetch download; once it has staged, a check of the unchanged feed
    ResumedDownload,   // a download interrupted half-way through a large blob; the next asks
                       // for the rest only
};

// How the server's certificate is trusted (over https).
enum class Trust {
    CaFile,          // its authority given with --ca-file; the server sends its certificate alone
    CaFileChainSent, // its authority given with --ca-file; the server sends the whole chain
    SystemStore,     // its authority in the system's store of trusted roots; the chain sent
    Unknown,         // its authority trusted nowhere; the chain sent
};

// The proxy that vellumix-fetch is given.
enum class Proxy {
    Unset,    // none
    PassedBy, // --proxy none, past a proxy of the system (https_proxy) that nobody answers
    Squid,    // a company's proxy that asks for credentials: `proxyCredentials` in --proxy's URL
};

struct FeedScenario
{
    QString group{}; // what the scenarios of a group show together
    QString name{};
    FeedRun run = FeedRun::FetchDownload;
    // What the feed offers over version 1 of the installation: version 2, of the stand-in unless
    // the run is the guide's program's.
    bool deltas = false;                            // staged with deltas against the installed build
    QString behaviour = QStringLiteral("confirm"); // of version 2's program
    bool guideRelease = false;                      // version 2's program is the guide's 2.0.0
    QString releaseVersion = QStringLiteral("2.0.0"); // the version text version 2 is published with
    bool v2Installed = false;                       // version 2 installed already, with its record
    bool tamperedBlob = false; // a blob changed on the server; downloaded again once put right
    bool cancelled = false;    // interrupted by a cancel in the application (else: killed)
    // How the feed is reached.
    bool https = false;
    Trust trust = Trust::CaFileChainSent;
    QString certificateHost = QStringLiteral("127.0.0.1");
    bool http2 = false;      // offered by the server beside HTTP/1.1
    bool privateFeed = false; // nginx asks for Basic credentials and a token header
    QString feedCredentials{}; // VELLUMIX_FEED_CREDENTIALS; empty: not set
    bool token = true;         // the token header given with --header (a private feed)
    Proxy proxy = Proxy::Unset;
    QString proxyCredentials{}; // USER:PASSWORD in the proxy's URL; empty: none
    // What must be true afterwards.
    int exitCode = 0;   // vellumix-fetch's (FetchCycle: the updater's, which apply passes on)
    QString reason{};   // the failure's reason in vellumix-fetch's output (FailedRelease: the one the
                        // release is written down with); empty: none
    QString says{};     // in vellumix-fetch's standard error, as the native programs write it
    QString saysOnWine{}; // the same, as the Windows program writes it on a Chinese Windows
    QStringList proxyLog{}; // squid's lines after a failed download; "PORT": the feed's port
    // Why it does not run on a side (empty: it runs there).
    QString notNative{};
    QString notOnWine{};
};

// What vellumix-fetch printed on standard output: one JSON object (empty when it is not one).
QJsonObject jsonOf(const RunResult &run);
// A run of it, for the message of a failed check.
QString describe(const RunResult &run);

// Every scenario of the application's side.
const QList<FeedScenario> &feedScenarios();

// The rows of a data-driven test: one per scenario, as "group: name" with the column
// "scenario" (an index into feedScenarios()).
void addFeedScenarioRows();

// Lays out `installation` and the feed as `scenario` says, runs it and checks the outcome with
// QTest's macros; returns at the first failed check. The runners set the per-user caches of the
// programs aside before each scenario (see AbstractInstallation::cacheFolder()).
void runFeedScenario(AbstractInstallation &installation, const FeedScenario &scenario, Platform platform);

} // namespace e2e
