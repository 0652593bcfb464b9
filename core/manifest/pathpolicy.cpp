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

/*
    Windows reads a name as a device when its base names one. The base is the text before the
    first dot with the spaces that end it dropped, so "nul.txt", "NUL .txt", "con  .x" and
    "COM1 .a.b" all open a device, while "console.txt", "null.dll" and "COM10" are files. The base
    is compared the way Windows compares names, each UTF-16 unit upper-cased on its own (see
    updatePathKey), so CONIN$ spelled with a dotless i (U+0131) is CONIN$ as well. After COM and
    LPT, Windows also reads the superscript digits one, two and three (U+00B9, U+00B2, U+00B3) as
    device numbers; COM0 and LPT0 are refused too, although Windows does not reserve them.
*/
bool isDeviceName(QStringView component)
{
    const qsizetype dot = component.indexOf(u'.');
    QStringView base = dot < 0 ? component : component.first(dot);
    while (base.endsWith(u' '))
        base.chop(1);
    if (base.size() < 3 || base.size() > 7)
        return false;
    const QString name = updatePathKey(base);
    for (const char16_t *device :
         {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$", u"CLOCK$"}) {
        if (name == QStringView(device))
            return true;
    }
    if (name.size() != 4 || !(name.startsWith(u"COM") || name.startsWith(u"LPT")))
        return false;
    const char16_t number = name.at(3).unicode();
    return (number >= u'0' && number <= u'9') || number == u'\u00b9' || number == u'\u00b2'
        || number == u'\u00b3';
}

bool isAllowedComponent(QStringView component)
{
    static const QRegularExpression forbiddenCharacter(QStringLiteral(u"[<>\"|?*\\x00-\\x1f]"));

    if (component.isEmpty() || component == u"." || component == u"..")
        return false;
    if (component.endsWith(u'.') || component.endsWith(u' ') || component.startsWith(u'.'))
        return false;
    if (matches(forbiddenCharacter, component))
        return false;
    return !isDeviceName(component);
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

/*
    Two paths name one file when NTFS finds their names equal, and NTFS compares names by mapping
    each UTF-16 unit through the volume's up-case table: simple one-to-one upper-casing, with no
    case folding and no normalisation. So the key upper-cases each unit with QChar::toUpper.
    Lower-casing would keep apart what the volume joins: long s (U+017F) and dotless i (U+0131)
    upper-case to S and I, and final sigma to the same capital as sigma, so a long s ".dll" beside
    "S.dll" is one file. QString::toUpper would join what the volume keeps apart: it turns sharp s
    (U+00DF) into "SS", and it upper-cases characters beyond the BMP, whose surrogate units the
    table leaves as they are. Letters that are capitals already stay themselves, as in the table:
    the Kelvin sign (U+212A) is no "K", so a Kelvin sign ".dll" and "k.dll" are two files; dotted
    capital I (U+0130) is no "I", and sharp s is not capital sharp s (U+1E9E). A volume's table
    comes from the Windows that formatted it; where Qt knows a case pair that an older table
    lacks, the key is only the stricter.
*/
QString updatePathKey(QStringView path)
{
    QString key = path.toString();
    for (QChar &unit : key)
        unit = unit.toUpper();
    return key;
}

} // namespace vellumix
