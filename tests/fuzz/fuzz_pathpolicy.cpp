// Fuzz target: the update path policy against a reference predicate written here from the rules,
// without regular expressions. The input is read as UTF-16 code units, so that every character,
// unpaired surrogates and NUL included, can reach the policy.
#include "fuzzcheck.h"
#include "pathpolicy.h"

#include <QString>

#include <string_view>

namespace {

char16_t upper(char16_t c)
{
    return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c;
}

bool endsWithNoCase(std::u16string_view text, std::u16string_view ending)
{
    if (text.size() < ending.size())
        return false;
    const std::u16string_view tail = text.substr(text.size() - ending.size());
    for (std::size_t i = 0; i < ending.size(); ++i) {
        // Only ASCII letters fold in these endings; a non-ASCII character never equals one.
        if (upper(tail[i]) != upper(ending[i]))
            return false;
    }
    return true;
}

// Upper case as Windows compares names: beside the ASCII letters, only dotless i and long s
// upper-case to an ASCII letter.
char16_t upperForName(char16_t c)
{
    return c == u'\u0131' ? u'I' : c == u'\u017f' ? u'S' : upper(c);
}

bool isDeviceName(std::u16string_view component)
{
    std::u16string_view base = component.substr(0, component.find(u'.'));
    while (!base.empty() && base.back() == u' ')
        base.remove_suffix(1);
    std::u16string name;
    for (char16_t c : base)
        name += upperForName(c);
    for (std::u16string_view device :
         {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$", u"CLOCK$"}) {
        if (name == device)
            return true;
    }
    const bool numbered =
        name.size() == 4 && (name.starts_with(u"COM") || name.starts_with(u"LPT"));
    const std::u16string_view numbers = u"0123456789\u00b9\u00b2\u00b3";
    return numbered && numbers.find(name[3]) != std::u16string_view::npos;
}

bool isValidUtf16(std::u16string_view text)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c >= 0xDC00 && c <= 0xDFFF)
            return false;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 == text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF)
                return false;
            ++i;
        }
    }
    return true;
}

bool referenceAllows(std::u16string_view path)
{
    if (path.empty() || path.size() > 240 || !isValidUtf16(path))
        return false;
    for (char16_t c : path) {
        if (c == u'\\' || c == u':' || c == 0)
            return false;
    }
    if (path.front() == u'/')
        return false;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = path.find(u'/', start);
        const std::u16string_view component =
            path.substr(start, end == std::u16string_view::npos ? std::u16string_view::npos : end - start);
        if (component.empty() || component.back() == u'.' || component.back() == u' '
            || component.front() == u'.')
            return false;
        for (char16_t c : component) {
            if (c < 0x20 || c == u'<' || c == u'>' || c == u'"' || c == u'|' || c == u'?' || c == u'*')
                return false;
        }
        if (isDeviceName(component))
            return false;
        if (end == std::u16string_view::npos)
            break;
        start = end + 1;
    }
    if (path == u"build-manifest.json")
        return false;
    for (std::u16string_view ending : {u".config", u".pdf", u".ubz", u".dpapi", u".ini"}) {
        if (endsWithNoCase(path, ending))
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::u16string units(size / 2, u'\0');
    for (std::size_t i = 0; i < units.size(); ++i)
        units[i] = char16_t(data[2 * i] | (data[2 * i + 1] << 8));
    // Taken unit by unit: QString::fromUtf16 would drop a leading byte-order mark.
    const QString path(reinterpret_cast<const QChar *>(units.data()), qsizetype(units.size()));
    const bool allowed = vellumix::isAllowedUpdatePath(path);
    if (allowed != referenceAllows(units)) {
        std::fprintf(stderr, "policy %s, reference %s: \"%s\"\n", allowed ? "allows" : "refuses",
                     allowed ? "refuses" : "allows", qPrintable(path));
        std::abort();
    }
    return 0;
}
