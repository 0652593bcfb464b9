// vellumix-fetch's own texts go through Qt's translation system in the context "vellumix", as the
// update client's texts do: Texts::tr("...") in the tool's code. No translation of them is
// shipped, so they are English; lupdate finds them for one (see docs/translations.md). The
// reasons it prints from the client library are the client's texts, translated as those are.
#pragma once

#include <QCoreApplication>

namespace vellumix::fetch {

struct Texts
{
    Q_DECLARE_TR_FUNCTIONS(vellumix)
};

} // namespace vellumix::fetch
