// Conversions between Qt's types and the Qt-free operating-system layer.
#pragma once

#include "platform.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <string_view>

namespace vellumix {

inline std::u16string_view osText(const QString &text)
{
    return {reinterpret_cast<const char16_t *>(text.utf16()), std::size_t(text.size())};
}

inline os::ByteView osBytes(const QByteArray &bytes)
{
    return {reinterpret_cast<const std::uint8_t *>(bytes.constData()), std::size_t(bytes.size())};
}

} // namespace vellumix
