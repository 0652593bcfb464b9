// The release tool's texts go through Qt's translation system in the context "vellumix", as the
// update client's texts do: Texts::tr("...") in the tool's code. No translation of them is
// shipped, so they are English; lupdate finds them for one (see docs/translations.md).
//
// A refusal of the tool is a thrown QString in these texts, caught where a command words its
// outcome. A failure that the core library reports becomes one here, at the tool's edge: its
// English meaning, with the updater's own text after it (CoreError::describe).
#pragma once

#include "coreerror.h"

#include <QCoreApplication>

#include <utility>

namespace vellumix::publish {

struct Texts
{
    Q_DECLARE_TR_FUNCTIONS(vellumix)
};

inline void orRefuse(const CoreError &error)
{
    if (!error.ok())
        throw error.describe();
}

template<typename T>
T orRefuse(CoreResult<T> result)
{
    orRefuse(result.error());
    return std::move(*result);
}

} // namespace vellumix::publish
