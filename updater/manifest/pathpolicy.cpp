#include "pathpolicy.h"

#include <QRegularExpression>
#include <QStringView>

namespace vellumix {

namespace {

constexpr qsizetype kMaxPathLength = 240;

bool matches(const QRegularExpression &pattern, QStringView text)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    return pattern.matchView(text).hasMatch();
#else
    return pattern.match(text).hasMatch();
#endif
}

bool isAllowedComponent(QStringView component)
{
    static const QRegularExpression forbiddenCharacter(QStringLiteral(u"[<>\"|?*\\x00-\\x1f]"));
    static const QRegularExpression deviceName(
        QStringLiteral(u"^(CON|PRN|AUX|NUL|COM[0-9]|LPT[0-9])(?:\\.|$)"),
        QRegularExpression::CaseInsensitiveOption);

    if (component.isEmpty() || component == u"." || component == u"..")
        return false;
    if (component.endsWith(u'.') || component.endsWith(u' ') || component.startsWith(u'.'))
        return false;
    if (matches(forbiddenCharacter, component))
        return false;
    return !matches(deviceName, component);
}

} // namespace

bool isAllowedUpdatePath(const QString &path)
{
    if (path.isEmpty() || path.size() > kMaxPathLength)
        return false;
    if (path.contains(u'\\') || path.contains(u':') || path.startsWith(u'/')
        || path.contains(QChar(u'\0')))
        return false;
    /*
        The character and device-name rules are regular expressions, and the expression engine
        cannot evaluate text that is not valid UTF-16: on an unpaired surrogate it reports no match,
        so "CON.x", a tab or a "*" would pass unseen next to one. Such a path is no name the
        manifest has any business giving (it cannot even be spelled in UTF-8), so it is refused.
    */
    if (!QStringView(path).isValidUtf16())
        return false;

    for (QStringView component : QStringView(path).split(u'/')) {
        if (!isAllowedComponent(component))
            return false;
    }

    if (path.endsWith(u".config", Qt::CaseInsensitive))
        return false;
    if (path == u"build-manifest.json")
        return false;
    for (const char16_t *ending : {u".pdf", u".ubz", u".dpapi", u".ini"}) {
        if (path.endsWith(QStringView(ending), Qt::CaseInsensitive))
            return false;
    }
    return true;
}

} // namespace vellumix
