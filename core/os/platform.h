// The operating-system layer of the updater.
//
// Everything the updater needs from the operating system that Qt does not give in the same form on
// every platform sits behind this small interface: the signature check, SHA-256 of a stream, the
// link test of one path, flushes to stable storage, process watching and the final message box.
// It is plain C++20 without Qt so that its Windows implementation can be cross-compiled and tested
// on its own. Every function here reports failure through its result and never throws.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace vellumix::os {

using ByteView = std::span<const std::uint8_t>;
using Sha256Digest = std::array<std::uint8_t, 32>;

// RSASSA-PKCS1-v1_5 with SHA-256: true only when `signature` is a valid signature of the 32-byte
// `digest` under the public key (`modulus`, `exponent`, both big-endian). Any failure of the
// platform's crypto answers false.
bool verifyRsaPkcs1Sha256(ByteView digest, ByteView signature, ByteView modulus,
                          ByteView exponent) noexcept;

// SHA-256 of a stream fed in pieces.
class Sha256
{
public:
    Sha256() noexcept;
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    // False when the platform could not set up the hash; update and finish then fail too.
    bool isValid() const noexcept;
    bool update(ByteView data) noexcept;
    // Ends the stream. The object cannot be fed again afterwards.
    bool finish(Sha256Digest &out) noexcept;

    struct State;

private:
    // The platform's part: feed `data` to the hash, and end it into `out`; false on any failure.
    static bool hashData(State &state, ByteView data) noexcept;
    static bool finishHash(State &state, Sha256Digest &out) noexcept;

    std::unique_ptr<State> m_state;
    bool m_usable = false; // set up, and no call has failed or ended the stream yet
};

// The link test of one path, for the named object itself: a link at the last component is
// reported, not followed.
enum class LinkStatus {
    NotALink,    // the object exists and is no reparse point (no symbolic link, junction, ...)
    Link,        // the object is a reparse point
    Unavailable, // its attributes cannot be read (most often: it does not exist)
};
LinkStatus linkStatus(std::u16string_view path) noexcept;

// Stable storage. `flushFileData` puts the content of one file on stable storage;
// `flushDirectoryEntries` makes the creation, rename or removal of entries in a directory
// durable; `flushFileSystem` flushes everything written on the file system that holds the path.
// Where a platform gives these guarantees by other means, they succeed without doing anything.
bool flushFileData(std::u16string_view path) noexcept;
// The same for a file open through the descriptor that Qt's QFileDevice::handle() gives. Where
// Qt gives no descriptor (-1), Qt's own flush on closing the file has to serve, and this succeeds.
bool flushOpenFile(int descriptor) noexcept;
bool flushDirectoryEntries(std::u16string_view directory) noexcept;
bool flushFileSystem(std::u16string_view anyPathOnIt) noexcept;

// Reading one of the small files the updater keeps (its journal, a lock file) without ever waiting
// on it: only a regular file is opened and read. A pipe at the name would block an open for
// reading until something writes to it, and a device could do anything; both are reported as
// NotAFile, without a byte read. With LinkAtName::Refuse a link at the last component is not
// followed and counts as NotAFile; with Follow the object it points to must be a regular file
// (a link to nothing is Missing, as the object it names is). More than `maxBytes` bytes:
// TooLarge, and `contents` is left empty.
enum class FileRead { Read, Missing, NotAFile, TooLarge, Failed };
enum class LinkAtName { Follow, Refuse };
FileRead readRegularFile(std::u16string_view path, std::size_t maxBytes, LinkAtName link,
                         std::string &contents) noexcept;

// Copies a file to a name where nothing exists yet, with the source's permissions. Never
// overwrites: fails when anything stands at `to`. A failed copy leaves nothing at `to`. The
// copy's data is not necessarily on stable storage when this returns (see flushFileSystem).
bool copyFileExclusive(std::u16string_view from, std::u16string_view to) noexcept;

// Renames a file or directory on the same volume, failing when anything stands at `to`. Never
// falls back to copying: a move either happens as one step or not at all.
bool moveNoReplace(std::u16string_view from, std::u16string_view to) noexcept;

// Watching another process end. The handle owns the operating-system object and releases it
// when closed or destroyed.
enum class OpenStatus { Opened, NoSuchProcess, Failed };
enum class WaitStatus { Ended, TimedOut, Failed };

class ProcessHandle
{
public:
    ProcessHandle() noexcept = default;
    ~ProcessHandle();
    ProcessHandle(ProcessHandle &&other) noexcept;
    ProcessHandle &operator=(ProcessHandle &&other) noexcept;
    ProcessHandle(const ProcessHandle &) = delete;
    ProcessHandle &operator=(const ProcessHandle &) = delete;

    // Opens the process with the given id for waiting, closing any process held before.
    OpenStatus open(std::uint32_t processId) noexcept;
    bool isOpen() const noexcept { return m_native != kNone; }
    WaitStatus wait(std::uint32_t timeoutMs) noexcept;
    void close() noexcept;

    // Takes ownership of an already opened native handle (a pidfd on Linux, a HANDLE on Windows).
    static ProcessHandle adopt(std::intptr_t native) noexcept;

private:
    static constexpr std::intptr_t kNone = -1;
    std::intptr_t m_native = kNone;
};

// The file name of the program that the process with this id runs, as the operating system
// reports it for that id (never what a file says about the process): on Linux the last component
// of /proc/<id>/exe, or, where that link cannot be read (another user's process), the process's
// command name from /proc/<id>/comm, which the kernel keeps to its first 15 bytes (`cutShort`);
// on Windows the last component of the image name that QueryFullProcessImageNameW gives. Found
// only with a name that is not empty. A process that has ended may still be reported while its
// id is held; whether it runs is ProcessHandle's question.
enum class ProgramNameStatus { Found, NoSuchProcess, Unavailable };
struct ProcessProgramName
{
    ProgramNameStatus status = ProgramNameStatus::Unavailable;
    std::u16string fileName;
    bool cutShort = false;
};
ProcessProgramName processProgramName(std::uint32_t processId) noexcept;

// Makes the processes that this process starts, and their descendants, stay observable through
// their process ids until this process ends, even when they are detached and end at once: on
// Linux this process becomes their subreaper, so an orphaned descendant that ends is kept as a
// zombie of this process instead of being reaped by init, and its id cannot be reused while a
// ProcessHandle is opened on it. On Windows an open process handle already gives this.
void keepDescendantsObservable() noexcept;

// The final message box: an information icon and one OK button, no owner window; returns when it
// has been dismissed. Where the platform has no such box, the title line and the text are written
// to standard error instead.
void showMessageBox(std::u16string_view title, std::u16string_view text) noexcept;

} // namespace vellumix::os
