// Numbers in the tool's messages, with thousands separators ("536,870,912").
#pragma once

#include <QLocale>
#include <QString>

namespace vellumix::publish {

inline QString grouped(qint64 number)
{
    static const QLocale english(QLocale::English, QLocale::UnitedStates);
    return english.toString(number);
}

} // namespace vellumix::publish
