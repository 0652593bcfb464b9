// platform-smoke-test: proves that the GUI platform plug-in, and everything it needs when it is
// loaded, can be found and initialised on this machine. The report goes to standard error, one
// flushed line per step, so a run that dies inside the toolkit still shows how far it came.
#include <QCoreApplication>
#include <QGuiApplication>
#include <QOperatingSystemVersion>
#include <QString>
#include <QStringList>
#include <QSysInfo>
#include <QTextStream>
#include <QVersionNumber>

#include <cstdio>

namespace {

// The report's labels. These are read by people and by installation checks alike, so they stand
// as they are on every platform.
constexpr char kOsLabel[] = "OS: ";
constexpr char kRuntimeLabel[] = "Qt runtime: ";
constexpr char kBuildLabel[] = "; build: ";
constexpr char kPluginPathsLabel[] = "Plugin paths: ";
constexpr char kPlatformLabel[] = "Platform initialized: ";
constexpr char kPassLine[] =
        "PASS: local Windows platform plugin and its load-time dependencies initialized.";

// An unknown version number (-1) is shown as 0, so the line keeps its three numbers.
QString threePartVersion(int major, int minor, int micro)
{
    return QStringLiteral("%1.%2.%3")
            .arg(qMax(major, 0))
            .arg(qMax(minor, 0))
            .arg(qMax(micro, 0));
}

QString describeOperatingSystem()
{
    const QOperatingSystemVersion os = QOperatingSystemVersion::current();
    if (os.type() != QOperatingSystemVersion::Unknown)
        return os.name() + u' '
                + threePartVersion(os.majorVersion(), os.minorVersion(), os.microVersion());

    /*
        The toolkit names only Windows, the Apple systems and Android; elsewhere it reports an
        unknown system with no name and version -1.-1.-1, which would make this line say
        nothing. There we name the kernel instead ("linux" as the toolkit spells it) with the
        leading numbers of its release ("6.1.0" of "6.1.0-18-amd64"): that is the one name and
        three-part version every such system has, whereas distribution releases ("12") often
        have a single number, and zeros made up for them would look like real data.
    */
    const QVersionNumber kernel = QVersionNumber::fromString(QSysInfo::kernelVersion());
    return QSysInfo::kernelType() + u' '
            + threePartVersion(kernel.segmentAt(0), kernel.segmentAt(1), kernel.segmentAt(2));
}

} // namespace

int main(int argc, char *argv[])
{
    QTextStream report(stderr);
    report << kOsLabel << describeOperatingSystem() << Qt::endl;
    report << kRuntimeLabel << qVersion() << kBuildLabel << QT_VERSION_STR << Qt::endl;

    /*
        Creating the application object is what loads and initialises the platform plug-in. The
        command line is handed over untouched so "-platform", "-platformpluginpath" and the other
        toolkit options work. Nothing here checks or catches a failure: a missing plug-in or a
        missing dependency of it ends the process inside the toolkit with its own fatal message
        and a non-zero status, and the absence of the last line is the report of that failure.
    */
    QGuiApplication application(argc, argv);

    report << kPluginPathsLabel << QCoreApplication::libraryPaths().join(u';') << Qt::endl;
    report << kPlatformLabel << QGuiApplication::platformName() << Qt::endl;
    report << kPassLine << Qt::endl;
    return 0;
}
