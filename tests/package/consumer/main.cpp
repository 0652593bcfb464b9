// An application's own code: plain string literals, as Qt allows by default, and the client's
// public headers only.
#include <vellumix/startup.h>
#include <vellumix/translation.h>
#include <vellumix/updateclient.h>

#include <QCoreApplication>
#include <QTextStream>
#include <QTranslator>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const vellumix::StartupDecision startup = vellumix::handleStartup(app.arguments(), "1.0.0");
    vellumix::UpdateClientSettings settings;
    settings.feed = vellumix::feedUrlFromUserInput(app.arguments().value(1));
    QString channel = "stable";
    QTextStream(stdout) << "startup " << int(startup.action) << ", channel "
                        << (vellumix::isValidChannelName(channel) ? "valid" : "invalid")
                        << ", feed " << settings.feed.toString() << Qt::endl;
    // The translation built into the library, as the application's translator.
    const vellumix::UpdateFailure failure{vellumix::UpdateFailureReason::FeedUnreachable, QString()};
    QTextStream(stdout) << failure.userText() << Qt::endl;
    QTranslator translator;
    if (vellumix::loadTranslation(translator, QLocale(QLocale::Chinese, QLocale::China)))
        QCoreApplication::installTranslator(&translator);
    QTextStream(stdout) << failure.userText() << Qt::endl;
    return 0;
}
