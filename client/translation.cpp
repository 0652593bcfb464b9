#include <vellumix/translation.h>

#include <QDir>
#include <QTranslator>

// The .qm files that lrelease compiled from translations/*.ts, built into the library as the
// resource "vellumix_translations" under :/vellumix/translations.
static void initTranslationResource()
{
    Q_INIT_RESOURCE(vellumix_translations);
}

namespace vellumix {

namespace {

const QString kDirectory = QStringLiteral(":/vellumix/translations");
const QString kPrefix = QStringLiteral("vellumix_");

QString directory()
{
    // A static library's resources are registered by the code that uses them, once.
    static const bool registered = (initTranslationResource(), true);
    Q_UNUSED(registered);
    return kDirectory;
}

} // namespace

bool loadTranslation(QTranslator &translator, const QLocale &locale)
{
    return translator.load(locale, QStringLiteral("vellumix"), QStringLiteral("_"), directory());
}

QStringList translationLanguages()
{
    QStringList languages;
    const QStringList files =
        QDir(directory()).entryList({kPrefix + QStringLiteral("*.qm")}, QDir::Files, QDir::Name);
    for (const QString &file : files)
        languages.append(file.mid(kPrefix.size(), file.size() - kPrefix.size() - 3));
    return languages;
}

} // namespace vellumix
