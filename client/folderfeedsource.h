// A feed that is a folder (a local path or a file: URL, a mounted share), read through the same
// interface as a feed served over HTTP.
#pragma once

#include "feedsource.h"

namespace vellumix {

class FolderFeedSource : public FeedSource
{
public:
    FolderFeedSource(const UpdateClientSettings &settings, QObject *parent);

    int requestsAtOnce() const override { return m_requestsAtOnce; }
    QString where(const QString &relative) const override;
    FeedRequest *get(const QString &relative, const FeedRequestOptions &options) override;

private:
    QString m_folder; // ends in "/"
    int m_requestsAtOnce; // the settings' connections: files read at once
};

} // namespace vellumix
