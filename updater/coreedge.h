// The updater's edge of the shared code: a failure that the core library reports becomes the
// updater's own text, thrown, as every failure of the updater is; only the driver catches it.
#pragma once

#include "coreerror.h"

#include <utility>

namespace vellumix {

inline void orThrow(const CoreError &error)
{
    if (!error.ok())
        throw error.updaterText();
}

template<typename T>
T orThrow(CoreResult<T> result)
{
    orThrow(result.error());
    return std::move(*result);
}

} // namespace vellumix
