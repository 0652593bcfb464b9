// The English meaning of each of the updater's own texts (messages.h), for the tools that pass one
// on: the release tool and the update client catch the core's refusals as thrown QStrings, and
// their users read English. The updater itself keeps showing its texts as they stand.
#pragma once

#include <QString>

namespace Msg {

// The English meaning of an updater text, followed by the text itself in quotes:
//     the update's signature does not verify ("更新签名验证失败，已停止更新")
// A text followed by a file's name or relative path (cannotReadFile, stagedFileInvalid, ...)
// keeps it after the meaning. Anything that is none of the updater's texts (a tool's own English
// text) comes back unchanged. The meanings go through QCoreApplication::translate in the context
// "vellumix", so an application's translator may translate them too.
QString englishForUpdaterText(const QString &text);

} // namespace Msg
