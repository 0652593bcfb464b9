#include "feedsource.h"

#include "folderfeedsource.h"
#include "httpfeedsource.h"

namespace vellumix {

FeedSource *createFeedSource(const UpdateClientSettings &settings, QObject *parent)
{
    if (settings.feed.isLocalFile())
        return new FolderFeedSource(settings, parent);
    return new HttpFeedSource(settings, parent);
}

} // namespace vellumix
