// UTF-16 text to the UTF-8 bytes that Linux file names and terminals use, and back.
#pragma once

#include <string>
#include <string_view>

namespace vellumix::os::detail {

// Unpaired surrogates become U+FFFD, so the result is always valid UTF-8.
inline std::string toUtf8(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size() * 3);
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00
            && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// Bytes that are not well-formed UTF-8 (a stray or cut sequence, an overlong form, a surrogate)
// become U+FFFD, one for each byte, so that such a name never equals a name of valid text.
inline std::u16string fromUtf8(std::string_view bytes)
{
    std::u16string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const unsigned char lead = static_cast<unsigned char>(bytes[i]);
        int length = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2
                   : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
        char32_t c = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
        for (int k = 1; k < length; ++k) {
            const unsigned char next = i + k < bytes.size() ? static_cast<unsigned char>(bytes[i + k]) : 0;
            if ((next & 0xC0) != 0x80) {
                length = 0;
                break;
            }
            c = (c << 6) | (next & 0x3F);
        }
        const bool shortest = length == 1 || (length == 2 && c >= 0x80)
            || (length == 3 && c >= 0x800) || (length == 4 && c >= 0x10000);
        if (length == 0 || !shortest || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        if (c >= 0x10000) {
            out += char16_t(0xD800 + ((c - 0x10000) >> 10));
            out += char16_t(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += char16_t(c);
        }
        i += std::size_t(length);
    }
    return out;
}

} // namespace vellumix::os::detail
