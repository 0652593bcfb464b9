// How the shared code reports a failure: a code, what it concerns, and what the system said. No
// exception leaves the core library; each program words the error at its own edge: the updater
// with its own texts (updaterText, byte for byte the texts it has always shown, thrown there as
// every failure of the updater is), the client as an UpdateFailure and the release tool in its
// own sentences (both through describe, in English).
#pragma once

#include <QString>

#include <optional>
#include <utility>

namespace vellumix {

struct [[nodiscard]] CoreError
{
    enum Code {
        None,
        // The signed envelope and its payload.
        ManifestTooLarge,        // the envelope is larger than a manifest may be
        SignatureRejected,       // the payload's signature does not verify
        UnsupportedUpdate,       // schema, platform, sequence or version out of what is accepted
        FileListInvalid,         // no files, or too many
        IllegalOrDuplicatePath,  // `path`: a path the policy refuses, or one named twice
        FileChecksInvalid,       // `path`: a digest or size out of form or range
        TotalSizeExceeded,       // the files together are larger than an update may be
        RequiredProgramsMissing, // the main program or the updater is not among the files
        // The link guards.
        UnsafePath,              // `path`: a relative path that the update path policy refuses
        LinkOnPath,              // `path`: a link or junction on the work folder's path
        LinkBelowBase,           // `path`: a link or junction between a base and a named file
        // Reading and writing files.
        CannotRead,              // `path` cannot be opened or read
        TooLarge,                // `path` is larger than its bound
        CannotCreateDirectory,   // the folder of `path` is missing and cannot be made
        LinkAtName,              // a link stands at `path`, which was to be written
        CannotWrite,             // `path` could not be written, flushed or put in place
        // The journal.
        JournalUnreadable,       // something that cannot be read stands at the journal's name
        JournalDamaged,          // the journal is not a journal
    };
    Code code = None;
    QString path;   // the file, folder or relative path it concerns, where there is one
    QString system; // what the system said, where it said something

    bool ok() const { return code == None; }

    // The updater's own text for it (messages.h), as its user has always read it: a file that
    // cannot be read is named by its file name after the text.
    QString updaterText() const;
    // For the tools, in English: the meaning, the name where the updater's text has one, then the
    // updater's own text in quotes, so that a report from either side can be matched:
    //     the update's signature does not verify ("更新签名验证失败，已停止更新")
    // The meanings go through QCoreApplication::translate in the context "vellumix".
    QString describe() const;
};

// A value, or the error that kept it from being made.
template<typename T>
class [[nodiscard]] CoreResult
{
public:
    CoreResult(T value) : m_value(std::move(value)) {}
    CoreResult(CoreError error) : m_error(std::move(error)) {}

    bool ok() const { return m_error.ok(); }
    const CoreError &error() const { return m_error; }
    // Only when ok().
    T &value() { return *m_value; }
    const T &value() const { return *m_value; }
    T &operator*() { return *m_value; }
    const T &operator*() const { return *m_value; }
    T *operator->() { return &*m_value; }
    const T *operator->() const { return &*m_value; }

private:
    std::optional<T> m_value;
    CoreError m_error;
};

} // namespace vellumix
