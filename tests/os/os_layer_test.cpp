// Tests of the operating-system layer. Qt-free, so the same program and the same vectors run for
// the Linux build and, cross-compiled, for the Windows build under Wine.
//
// Usage: os_layer_test VECTOR_DIR SCRATCH_DIR   (VECTOR_DIR holds the files of make_vectors.sh)
//        os_layer_test --sleep MS               (helper mode: a child process that lives MS ms)
//        os_layer_test --message-box            (Windows: shows the final message box, reads
//                                                what it shows, and reports once dismissed)
#include "console.h"
#include "lockowner.h"
#include "platform.h"
#include "descriptors.h"
#include "foldernames.h"
#include "stagefile.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#  include "os_test_win.h"
#  include "winfile_p.h"
#else
#  include <csignal>
#  include <fcntl.h>
#  include <spawn.h>
#  include <sys/stat.h>
#  include <sys/wait.h>
#  include <unistd.h>
extern char **environ;
#endif

using namespace vellumix::os;
using Bytes = std::vector<std::uint8_t>;

namespace {

int g_passed = 0;
int g_failed = 0;

void check(bool condition, const std::string &what)
{
    if (condition) {
        ++g_passed;
    } else {
        ++g_failed;
        std::fprintf(stderr, "FAIL: %s\n", what.c_str());
    }
}

Bytes readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes fromHex(const std::string &text)
{
    Bytes out;
    auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        if (text[i] == '\n' || text[i] == '\r')
            break;
        out.push_back(std::uint8_t(nibble(text[i]) << 4 | nibble(text[i + 1])));
    }
    return out;
}

std::string toHex(const Sha256Digest &digest)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (auto b : digest) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::u16string u16(const std::string &ascii)
{
    return std::u16string(ascii.begin(), ascii.end());
}

// A name part that no earlier run used: process ids are reused quickly, under Wine above all.
std::string uniqueTag()
{
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(now).count());
}

#ifdef _WIN32
void makeDirectory(const std::string &path) { CreateDirectoryA(path.c_str(), nullptr); }
int descriptorOf(std::FILE *file) { return _fileno(file); }
int readDescriptor(int descriptor, char *into, unsigned size) { return _read(descriptor, into, size); }
#else
void makeDirectory(const std::string &path) { mkdir(path.c_str(), 0755); }
int descriptorOf(std::FILE *file) { return fileno(file); }
int readDescriptor(int descriptor, char *into, unsigned size) { return int(read(descriptor, into, size)); }
#endif

void testSignatures(const std::string &dir)
{
    const Bytes modulusText = readFile(dir + "/modulus.hex");
    const Bytes modulus = fromHex(std::string(modulusText.begin(), modulusText.end()));
    const Bytes exponent{0x01, 0x00, 0x01};
    const Bytes digest = readFile(dir + "/digest.bin");
    check(modulus.size() == 384, "the vector key has a 3072-bit modulus");
    check(digest.size() == 32, "the vector digest has 32 bytes");

    auto verify = [&](const Bytes &d, const Bytes &signature) {
        return verifyRsaPkcs1Sha256(d, signature, modulus, exponent);
    };
    const Bytes valid = readFile(dir + "/valid.sig");
    check(verify(digest, valid), "a valid PKCS#1 v1.5 / SHA-256 signature verifies");

    struct Case { const char *file; const char *what; };
    const Case refused[] = {
        {"pss.sig", "a PSS signature"},
        {"sha1.sig", "a signature over a SHA-1 digest"},
        {"sha384.sig", "a signature over a SHA-384 digest"},
        {"otherkey.sig", "a signature by another key"},
        {"short.sig", "a signature one byte short"},
        {"long.sig", "a signature one byte long"},
    };
    for (const Case &c : refused)
        check(!verify(digest, readFile(dir + "/" + c.file)), std::string(c.what) + " is refused");

    for (std::size_t bit : {0u, 7u, 1000u, 3071u}) {
        Bytes flipped = valid;
        flipped[bit / 8] ^= std::uint8_t(1u << (bit % 8));
        check(!verify(digest, flipped), "signature with bit " + std::to_string(bit) + " flipped");
        Bytes otherDigest = digest;
        otherDigest[(bit / 8) % 32] ^= std::uint8_t(1u << (bit % 8));
        check(!verify(otherDigest, valid), "digest with bit " + std::to_string(bit) + " flipped");
    }

    check(!verify(Bytes(digest.begin(), digest.end() - 1), valid), "a 31-byte digest is refused");
    check(!verify(Bytes{}, valid), "an empty digest is refused");
    check(!verify(digest, Bytes{}), "an empty signature is refused");
    check(!verifyRsaPkcs1Sha256(digest, valid, Bytes{}, exponent), "an empty modulus is refused");
    check(!verifyRsaPkcs1Sha256(digest, valid, modulus, Bytes{0x03}), "another exponent is refused");
}

void testSha256()
{
    struct KnownAnswer { std::string input; const char *hex; };
    const KnownAnswer answers[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const KnownAnswer &k : answers) {
        Sha256 whole;
        Sha256Digest digest{};
        const auto *data = reinterpret_cast<const std::uint8_t *>(k.input.data());
        check(whole.isValid() && whole.update({data, k.input.size()}) && whole.finish(digest)
                  && toHex(digest) == k.hex,
              "SHA-256 known answer for an input of " + std::to_string(k.input.size()) + " bytes");

        // The same input fed in uneven pieces gives the same digest.
        Sha256 pieces;
        std::size_t at = 0, step = 1;
        while (at < k.input.size()) {
            const std::size_t n = std::min(step, k.input.size() - at);
            pieces.update({data + at, n});
            at += n;
            step = step * 3 + 1;
        }
        Sha256Digest pieceDigest{};
        check(pieces.finish(pieceDigest) && pieceDigest == digest,
              "SHA-256 fed in pieces, " + std::to_string(k.input.size()) + " bytes");
    }
    Sha256 finished;
    Sha256Digest d{};
    finished.finish(d);
    check(!finished.update({}) && !finished.finish(d), "a finished hash cannot be fed again");
}

// The flushes answer for what they are given, on every platform: where a platform has nothing to
// flush, the object must still be what the call names.
void testFlushes(const std::string &scratchParent)
{
    const std::string base = scratchParent + "/flush-" + uniqueTag();
    const std::string file = base + "/data.bin";
    makeDirectory(base);
    std::ofstream(file) << "journal";
    struct Case { bool result; bool expected; const char *what; };
    const Case cases[] = {
        {flushFileData(u16(file)), true, "the data of a file"},
        {flushFileData(u16(base + "/missing")), false, "the data of a missing file"},
        {flushDirectoryEntries(u16(base)), true, "the entries of a directory"},
        {flushDirectoryEntries(u16(file)), false, "the entries of a file that is no directory"},
        {flushDirectoryEntries(u16(base + "/missing")), false,
         "the entries of a missing directory"},
        {flushFileSystem(u16(file)), true, "the file system of a file"},
        {flushFileSystem(u16(base + "/missing")), false, "the file system of a missing path"},
        {flushOpenFile(-1), true, "no descriptor"},
    };
    for (const Case &c : cases)
        check(c.result == c.expected, std::string("flush: ") + c.what);

    std::FILE *open = std::fopen(file.c_str(), "ab");
    check(open && std::fputs("more", open) >= 0 && std::fflush(open) == 0
              && flushOpenFile(descriptorOf(open)),
          "flush: an open file through its descriptor");
    if (open)
        std::fclose(open);
}

// Reading a small file: only a regular file is read, and nothing waits (a pipe would block an
// ordinary open for ever, and the test with it).
void testRegularFileReads(const std::string &scratchParent)
{
    const std::string base = scratchParent + "/reads-" + uniqueTag();
    makeDirectory(base);
    makeDirectory(base + "/dir");
    std::ofstream(base + "/journal.json", std::ios::binary) << "{\"state\":\"installing\"}";
    const std::string text = "{\"state\":\"installing\"}";
    struct Case { std::string path; std::size_t bound; LinkAtName link; FileRead expected; const char *what; };
    std::vector<Case> cases = {
        {base + "/journal.json", 1024, LinkAtName::Refuse, FileRead::Read, "a regular file"},
        {base + "/journal.json", text.size(), LinkAtName::Follow, FileRead::Read, "exactly the bound"},
        {base + "/journal.json", text.size() - 1, LinkAtName::Refuse, FileRead::TooLarge, "one byte over the bound"},
        {base + "/missing.json", 1024, LinkAtName::Refuse, FileRead::Missing, "a missing file"},
        {base + "/missing/below.json", 1024, LinkAtName::Follow, FileRead::Missing, "below a missing folder"},
        {base + "/dir", 1024, LinkAtName::Follow, FileRead::NotAFile, "a folder"},
    };
#ifndef _WIN32
    mkfifo((base + "/pipe").c_str(), 0600);
    symlink((base + "/journal.json").c_str(), (base + "/to-file").c_str());
    symlink((base + "/pipe").c_str(), (base + "/to-pipe").c_str());
    symlink((base + "/nowhere").c_str(), (base + "/dangling").c_str());
    cases.insert(cases.end(), {
        {base + "/pipe", 1024, LinkAtName::Refuse, FileRead::NotAFile, "a pipe without a writer"},
        {base + "/pipe", 1024, LinkAtName::Follow, FileRead::NotAFile, "a pipe, links followed"},
        {base + "/to-file", 1024, LinkAtName::Refuse, FileRead::NotAFile, "a link to a file, refused"},
        {base + "/to-file", 1024, LinkAtName::Follow, FileRead::Read, "a link to a file, followed"},
        {base + "/to-pipe", 1024, LinkAtName::Follow, FileRead::NotAFile, "a link to a pipe, followed"},
        {base + "/dangling", 1024, LinkAtName::Follow, FileRead::Missing, "a link to nothing, followed"},
        {base + "/dangling", 1024, LinkAtName::Refuse, FileRead::NotAFile, "a link to nothing, refused"},
        {"/dev/zero", 1024, LinkAtName::Follow, FileRead::NotAFile, "a device"},
    });
#else
    const std::string premade = scratchParent + "/premade-links";
    cases.push_back({premade + "/to-dir", 1024, LinkAtName::Refuse, FileRead::NotAFile,
                     "a link to a folder, refused"});
#endif
    for (const Case &c : cases) {
        std::string contents = "left over";
        const FileRead result = readRegularFile(u16(c.path), c.bound, c.link, contents);
        check(result == c.expected && contents == (result == FileRead::Read ? text : std::string()),
              std::string("read: ") + c.what);
    }
}

// A second descriptor reads what the first has open, and closing it leaves the first open.
void testDescriptors(const std::string &scratchParent)
{
    const std::string file = scratchParent + "/descriptors-" + uniqueTag() + ".log";
    std::ofstream(file, std::ios::binary) << "access";
    std::FILE *open = std::fopen(file.c_str(), "rb");
    check(open != nullptr, "descriptors: the file is opened");
    if (!open)
        return;
    const int original = descriptorOf(open);
    const int second = duplicateDescriptor(original);
    char through[16] = {};
    const int count = second >= 0 ? readDescriptor(second, through, sizeof through) : -1;
    const bool secondClosed = closeDescriptor(second);
    char left[16] = {};
    const bool originalOpen = std::fseek(open, 0, SEEK_SET) == 0
        && std::fread(left, 1, sizeof left, open) == 6 && std::string(left, 6) == "access";
    std::fclose(open);

    struct Case { bool result; bool expected; const char *what; };
    const Case cases[] = {
        {second >= 0 && second != original, true, "a second descriptor of an open file"},
        {count == 6 && std::string(through, 6) == "access", true,
         "the second descriptor reads the file"},
        {secondClosed, true, "the second descriptor is closed"},
        {originalOpen, true, "the first stays open when the second is closed"},
        {duplicateDescriptor(-1) == -1, true, "no descriptor is not duplicated"},
        {closeDescriptor(-1), false, "no descriptor is not closed"},
    };
    for (const Case &c : cases)
        check(c.result == c.expected, std::string("descriptors: ") + c.what);
}

// A folder tree's names as bytes: on Linux every one, a name that is not UTF-8 too; on Windows,
// whose names no listing hides, none.
void testByteNames(const std::string &scratchParent)
{
    const std::string base = scratchParent + "/names-" + uniqueTag();
    makeDirectory(base);
    makeDirectory(base + "/sub");
    makeDirectory(base + "/sub/deeper");
    std::ofstream(base + "/a.txt") << "a";
    std::ofstream(base + "/sub/deeper/b.txt") << "b";
#ifndef _WIN32
    const std::string notText = "sub/\xff\xfe.bin";
    std::ofstream(base + "/" + notText) << "c";
    symlink(base.c_str(), (base + "/sub/to-top").c_str());
#endif
    std::vector<std::string> visited;
    std::string unreadable = "left over";
    const NameWalk all = walkByteNames(u16(base), [&](std::string_view path) {
        visited.emplace_back(path);
        return true;
    }, unreadable);
    auto depth = [](const std::string &path) { return std::count(path.begin(), path.end(), '/'); };
    const bool shallowFirst = std::is_sorted(visited.begin(), visited.end(),
        [&](const std::string &x, const std::string &y) { return depth(x) < depth(y); });
    std::vector<std::string> sorted = visited;
    std::sort(sorted.begin(), sorted.end());

    std::vector<std::string> stoppedAfter;
    const NameWalk stopped = walkByteNames(u16(base), [&](std::string_view path) {
        stoppedAfter.emplace_back(path);
        return path.find('/') == std::string_view::npos;
    }, unreadable);
    std::string missingFolder;
    const NameWalk missing = walkByteNames(u16(base + "/missing"), [](std::string_view) {
        return true;
    }, missingFolder);

    struct Case { bool result; const char *what; };
#ifndef _WIN32
    const std::vector<std::string> expected = {"a.txt", "sub", "sub/deeper", "sub/deeper/b.txt",
                                               "sub/to-top", notText};
    const Case cases[] = {
        {all == NameWalk::Done && unreadable.empty(), "a whole tree is walked"},
        {sorted == expected, "every name, one that is not UTF-8 too, and no link followed"},
        {shallowFirst, "a folder's names come before the names below its subfolders"},
        {stopped == NameWalk::Stopped && !stoppedAfter.empty()
             && std::count_if(stoppedAfter.begin(), stoppedAfter.end(),
                              [&](const std::string &path) { return depth(path) > 0; }) == 1,
         "a visitor that answers false ends the walk there"},
        {missing == NameWalk::Unreadable && missingFolder == base + "/missing",
         "a missing folder is unreadable, and named"},
        {walkByteNames(u"", [](std::string_view) { return true; }, missingFolder)
             == NameWalk::Unreadable,
         "the empty path is unreadable"},
    };
#else
    const Case cases[] = {
        {all == NameWalk::Done && visited.empty() && unreadable.empty(), "nothing is visited"},
        {sorted.empty() && shallowFirst && stopped == NameWalk::Done && stoppedAfter.empty(),
         "nothing is visited, so nothing stops"},
        {missing == NameWalk::Done && missingFolder.empty(), "a missing folder is not read"},
    };
#endif
    for (const Case &c : cases)
        check(c.result, std::string("byte names: ") + c.what);
}

// The stage folder: made private (0700) with its parents, or checked as it stands; on Windows the
// profile's access rules stand for the check, and nothing is made here.
void testPrivateFolders(const std::string &scratchParent)
{
    const std::string base = scratchParent + "/private-" + uniqueTag();
    makeDirectory(base);
    const std::string stage = base + "/parent/below/stage";
#ifdef _WIN32
    const PrivateFolder result = makeOrCheckPrivateFolder(u16(stage));
    check(result.status == PrivateFolderStatus::ProfileRules
              && GetFileAttributesA(stage.c_str()) == INVALID_FILE_ATTRIBUTES,
          "private folder: left to the profile's access rules, nothing made");
#else
    std::ofstream(base + "/file") << "x";
    makeDirectory(base + "/shared");
    chmod((base + "/shared").c_str(), 0775);
    makeDirectory(base + "/dir");
    chmod((base + "/dir").c_str(), 0755);
    symlink((base + "/dir").c_str(), (base + "/to-dir").c_str());
    struct Case { std::string path; PrivateFolderStatus expected; std::uint32_t mode; int error; const char *what; };
    std::vector<Case> cases = {
        {stage, PrivateFolderStatus::Private, 0700, 0, "made with its parents"},
        {stage, PrivateFolderStatus::Private, 0700, 0, "found as it was made"},
        {base + "/dir", PrivateFolderStatus::Private, 0755, 0, "a folder that others may read"},
        {base + "/shared", PrivateFolderStatus::OpenToOthers, 0775, 0, "a folder that others may write"},
        {base + "/file", PrivateFolderStatus::NotAFolder, 0, 0, "a file"},
        {base + "/to-dir", PrivateFolderStatus::Link, 0, 0, "a link to a folder"},
        {base + "/file/stage", PrivateFolderStatus::CannotCreate, 0, ENOTDIR, "below a file"},
    };
    for (const Case &c : cases) {
        const PrivateFolder result = makeOrCheckPrivateFolder(u16(c.path));
        check(result.status == c.expected && (c.mode == 0 || result.mode == c.mode)
                  && result.error == c.error,
              std::string("private folder: ") + c.what);
    }
    struct stat status;
    check(stat((base + "/parent").c_str(), &status) == 0 && S_ISDIR(status.st_mode),
          "private folder: its parents are made");
    // Only a superuser can give a folder away; it then belongs to someone else.
    if (geteuid() == 0) {
        makeDirectory(base + "/theirs");
        chmod((base + "/theirs").c_str(), 0700);
        const bool given = chown((base + "/theirs").c_str(), 4242, 4242) == 0;
        const PrivateFolder result = makeOrCheckPrivateFolder(u16(base + "/theirs"));
        check(given && result.status == PrivateFolderStatus::OtherOwner && result.owner == 4242,
              "private folder: a folder of another user");
    }
#endif
}

// The owner of an open file, and the permissions a staged file takes from the installed one.
void testStagedFiles(const std::string &scratchParent)
{
    const std::string base = scratchParent + "/staged-" + uniqueTag();
    makeDirectory(base);
    const std::string staged = base + "/staged.out";
    std::ofstream(staged) << "new";
    std::FILE *open = std::fopen(staged.c_str(), "rb");
    check(open && isOwnedByCurrentUser(descriptorOf(open)), "owner: a file this user made");
    if (open)
        std::fclose(open);
#ifdef _WIN32
    check(isOwnedByCurrentUser(-1), "owner: the profile's access rules answer for any file");
    check(setStagedFileMode(u16(staged), u16(base + "/missing"), true),
          "staged mode: nothing to do where permissions are a read-only flag");
#else
    check(!isOwnedByCurrentUser(-1), "owner: no descriptor");
    auto installed = [&](const std::string &name, mode_t mode) {
        std::ofstream(base + "/" + name) << "old";
        chmod((base + "/" + name).c_str(), mode);
        return base + "/" + name;
    };
    symlink(installed("target", 0755).c_str(), (base + "/link").c_str());
    struct Case { std::string installed; bool executable; mode_t expected; const char *what; };
    const Case cases[] = {
        {installed("tool", 0750), false, 0750, "an installed program's own"},
        {installed("data", 0640), true, 0751, "a program, executable for everyone"},
        {installed("locked", 0400), false, 0600, "the owner may always write it"},
        {base + "/missing", false, 0644, "no installed file"},
        {base + "/missing", true, 0755, "no installed program"},
        {base + "/link", false, 0644, "a link counts as no installed file"},
    };
    for (const Case &c : cases) {
        struct stat status;
        const bool set = setStagedFileMode(u16(staged), u16(c.installed), c.executable);
        check(set && stat(staged.c_str(), &status) == 0 && (status.st_mode & 07777) == c.expected,
              std::string("staged mode: ") + c.what);
    }
    check(!setStagedFileMode(u16(base + "/gone.out"), u16(base + "/tool"), false),
          "staged mode: a staged file that is missing");
#endif
}

// Starting the write-back early, where the system can, and removing a file that is open.
void testWriteBackAndOpenRemoval(const std::string &scratchParent)
{
    const std::string base = scratchParent + "/writeback-" + uniqueTag();
    makeDirectory(base);
    const std::string file = base + "/data.out";
#ifdef _WIN32
    const bool canWriteBack = false, canRemove = false;
#else
    const bool canWriteBack = true, canRemove = true;
#endif
    check(canStartWriteBack() == canWriteBack, "write-back: started early only on Linux");
    std::FILE *out = std::fopen(file.c_str(), "wb");
    check(out && std::fputs("staged bytes", out) >= 0 && std::fflush(out) == 0
              && startWriteBack(descriptorOf(out), 0) == canWriteBack,
          "write-back: of an open file's bytes");
    if (out)
        std::fclose(out);
    check(!startWriteBack(-1, 0), "write-back: no descriptor");

    check(canRemoveOpenFiles() == canRemove, "open removal: said as the system does it");
#ifdef _WIN32
    // Opened for reading and writing as Qt opens a file: its deletion is not shared.
    wintest::Handle held(CreateFileA(file.c_str(), GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    const bool opened = held.get() != INVALID_HANDLE_VALUE;
#else
    const int held = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
    const bool opened = held >= 0;
#endif
    check(opened && (std::remove(file.c_str()) == 0) == canRemoveOpenFiles(),
          "open removal: a file held open loses its name where the system allows");
#ifndef _WIN32
    if (held >= 0)
        ::close(held);
#endif
}

// The console, and who owns a lock: the host name that lock files carry, and program names.
void testConsoleAndLockOwner(const std::string &scratchParent)
{
    const std::string file = scratchParent + "/console-" + uniqueTag() + ".txt";
    std::FILE *plain = std::fopen(file.c_str(), "wb");
    check(plain && !isTerminal(plain), "console: a file is no terminal");
    if (plain)
        std::fclose(plain);
    check(!isTerminal(nullptr), "console: no stream");
#ifdef _WIN32
    check(consoleUsesSystemCodePage(), "console: shows the system's code page");
    check(programNamesIgnoreCase(), "lock owner: program names ignore case");
    _wputenv_s(L"COMPUTERNAME", L"OS-LAYER-HOST");
    const std::u16string host = lockHostName();
    check(host == u"OS-LAYER-HOST", "lock owner: the host name is COMPUTERNAME (got "
                                        + std::string(host.begin(), host.end()) + ")");
#else
    check(!consoleUsesSystemCodePage(), "console: shows UTF-8");
    check(!programNamesIgnoreCase(), "lock owner: program names keep their case");
    std::string kernelName;
    std::getline(std::ifstream("/proc/sys/kernel/hostname"), kernelName);
    const std::u16string host = lockHostName();
    check(!host.empty() && (kernelName.empty() || host == u16(kernelName)),
          "lock owner: the host name is the system's");
#endif
}

#ifndef _WIN32
pid_t startSleeper(const char *self, int ms)
{
    const std::string arg = std::to_string(ms);
    char *argv[] = {const_cast<char *>(self), const_cast<char *>("--sleep"),
                    const_cast<char *>(arg.c_str()), nullptr};
    pid_t pid = -1;
    return posix_spawn(&pid, self, nullptr, nullptr, argv, environ) == 0 ? pid : -1;
}

void reap(pid_t pid)
{
    int status;
    waitpid(pid, &status, 0);
}

void testLinks(const std::string &scratchParent)
{
    std::string pattern = scratchParent + "/links-XXXXXX";
    const std::string base = mkdtemp(pattern.data()) ? pattern : std::string();
    check(!base.empty(), "a scratch directory is made");
    const std::string file = base + "/file.txt", dir = base + "/dir";
    std::ofstream(file) << "x";
    mkdir(dir.c_str(), 0755);
    symlink(file.c_str(), (base + "/to-file").c_str());
    symlink(dir.c_str(), (base + "/to-dir").c_str());
    symlink((base + "/nowhere").c_str(), (base + "/dangling").c_str());
    const std::string nonAscii = base + "/\xe6\x9b\xb4\xe6\x96\xb0";  // "更新"
    symlink(dir.c_str(), nonAscii.c_str());

    struct Case { std::u16string path; LinkStatus expected; const char *what; };
    const Case cases[] = {
        {u16(file), LinkStatus::NotALink, "an ordinary file"},
        {u16(dir), LinkStatus::NotALink, "an ordinary directory"},
        {u16(base + "/to-file"), LinkStatus::Link, "a link to a file"},
        {u16(base + "/to-dir"), LinkStatus::Link, "a link to a directory"},
        {u16(base + "/dangling"), LinkStatus::Link, "a link to nothing"},
        {u16(base + "/to-dir/"), LinkStatus::NotALink, "a trailing slash follows the link"},
        {u16(base) + u"/\u66f4\u65b0", LinkStatus::Link, "a link with a non-ASCII name"},
        {u16(base + "/missing"), LinkStatus::Unavailable, "a missing path"},
        {u16(base + "/missing/below"), LinkStatus::Unavailable, "below a missing directory"},
        {u"", LinkStatus::Unavailable, "the empty path"},
        {u"/", LinkStatus::NotALink, "the root"},
    };
    for (const Case &c : cases)
        check(linkStatus(c.path) == c.expected, std::string("link test: ") + c.what);
}

void testProcesses(const char *self)
{
    ProcessHandle handle;
    const pid_t shortLived = startSleeper(self, 200);
    check(shortLived > 0, "a child process starts");
    check(handle.open(std::uint32_t(shortLived)) == OpenStatus::Opened, "a running child opens");
    check(handle.wait(0) == WaitStatus::TimedOut, "a running child times out at once");
    const std::string selfName = std::string(self).substr(std::string(self).rfind('/') + 1);
    const ProcessProgramName running = processProgramName(std::uint32_t(shortLived));
    check(running.status == ProgramNameStatus::Found && running.fileName == u16(selfName)
              && !running.cutShort,
          "a running child's program is named as the system knows it");
    const auto start = std::chrono::steady_clock::now();
    check(handle.wait(20000) == WaitStatus::Ended, "the wait sees the child end");
    check(std::chrono::steady_clock::now() - start < std::chrono::seconds(10),
          "the wait ends when the child ends, not at its time-out");
    check(handle.wait(0) == WaitStatus::Ended, "an ended child stays ended");
    reap(shortLived);

    // After the child has been reaped its id names no process.
    check(handle.open(std::uint32_t(shortLived)) == OpenStatus::NoSuchProcess,
          "a reaped child's id is no such process");
    check(!handle.isOpen(), "a failed open leaves no handle");
    check(handle.open(0x3FFFFFFF) == OpenStatus::NoSuchProcess, "an id above pid_max");
    check(processProgramName(std::uint32_t(shortLived)).status == ProgramNameStatus::NoSuchProcess
              && processProgramName(0x3FFFFFFF).status == ProgramNameStatus::NoSuchProcess,
          "a reaped child's id and an id above pid_max name no program");
    // The system's own first process runs as root: its program link may be closed to this user.
    const ProcessProgramName init = processProgramName(1);
    check(init.status == ProgramNameStatus::Found && !init.fileName.empty(),
          "the first process is named, from its program or its command name");
    check(handle.wait(0) == WaitStatus::Failed, "waiting without a handle fails");

    const pid_t longLived = startSleeper(self, 60000);
    check(handle.open(std::uint32_t(longLived)) == OpenStatus::Opened, "a long child opens");
    check(handle.wait(100) == WaitStatus::TimedOut, "a still running child times out");
    ProcessHandle moved(std::move(handle));
    check(!handle.isOpen() && moved.isOpen(), "a handle moves");
    kill(longLived, SIGKILL);
    check(moved.wait(20000) == WaitStatus::Ended, "a killed child is seen to end");
    reap(longLived);
}
#else
/*
    Links. Wine maps a symbolic link of the Linux side that points to a directory to a reparse
    point, but shows one that points to a file as the file itself, and its CreateSymbolicLinkW
    makes no link. So under Wine the links come from the Linux side (make_links.sh, ln -s) and
    only the directory cases are asserted; a link to a file is left to a run on Windows, where
    the test makes its own links with CreateSymbolicLinkW (which needs developer mode or an
    administrator) and asserts every case.
*/
void testLinks(const std::string &scratchParent)
{
    const std::u16string base = u16(scratchParent) + u"/links-" + u16(uniqueTag());
    const std::wstring wbase = wintest::wide(base);
    check(CreateDirectoryW(wbase.c_str(), nullptr) != 0, "a scratch directory is made");
    std::ofstream((wbase + L"/file.txt").c_str()) << "x";
    CreateDirectoryW((wbase + L"/dir").c_str(), nullptr);
    CreateDirectoryW((wbase + L"/\u66f4\u65b0").c_str(), nullptr);
    /*
        The root of the system drive. Under Wine the root of drive Z: (the Linux root) shows the
        reparse-point bit, so the root of the scratch directory's drive is not used here.
    */
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    const std::u16string root = {char16_t(windows[0]), u':', u'/'};

    struct Case { std::u16string path; LinkStatus expected; const char *what; };
    const Case plain[] = {
        {base + u"/file.txt", LinkStatus::NotALink, "an ordinary file"},
        {base + u"/dir", LinkStatus::NotALink, "an ordinary directory"},
        {base + u"\\dir", LinkStatus::NotALink, "a backslash separator"},
        {base + u"/\u66f4\u65b0", LinkStatus::NotALink, "a directory with a non-ASCII name"},
        {base + u"/missing", LinkStatus::Unavailable, "a missing path"},
        {base + u"/missing/below", LinkStatus::Unavailable, "below a missing directory"},
        {u"", LinkStatus::Unavailable, "the empty path"},
        {base + u"/dir" + std::u16string(1, u'\0') + u"/x", LinkStatus::Unavailable,
         "a path holding a NUL is not cut short at it"},
        {root, LinkStatus::NotALink, "the root of the volume"},
    };
    for (const Case &c : plain)
        check(linkStatus(c.path) == c.expected, std::string("link test: ") + c.what);

    const std::wstring toDir = wbase + L"/to-dir", toFile = wbase + L"/to-file";
    const DWORD unprivileged = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
    CreateSymbolicLinkW(toDir.c_str(), (wbase + L"/dir").c_str(),
                        SYMBOLIC_LINK_FLAG_DIRECTORY | unprivileged);
    CreateSymbolicLinkW(toFile.c_str(), (wbase + L"/file.txt").c_str(), unprivileged);
    if (GetFileAttributesW(toDir.c_str()) != INVALID_FILE_ATTRIBUTES
        && GetFileAttributesW(toFile.c_str()) != INVALID_FILE_ATTRIBUTES) {
        check(linkStatus(base + u"/to-dir") == LinkStatus::Link,
              "link test: a link to a directory");
        check(linkStatus(base + u"/to-file") == LinkStatus::Link, "link test: a link to a file");
    } else if (wintest::underWine()) {
        const std::u16string made = u16(scratchParent) + u"/premade-links";
        check(linkStatus(made + u"/to-dir") == LinkStatus::Link,
              "link test: a link to a directory (made by ln -s)");
        check(linkStatus(made + u"/\u66f4\u65b0") == LinkStatus::Link,
              "link test: a link with a non-ASCII name (made by ln -s)");
        check(linkStatus(made + u"/dir") == LinkStatus::NotALink,
              "link test: the directory behind the links");
        std::printf("note: a link to a file is not tested: Wine does not show it as a link\n");
    } else {
        std::printf("note: links not tested: this user may not create symbolic links\n");
    }
}

// The names that the layer hands to Win32: the long form for absolute paths, made from the full
// path that Windows makes of the plain one; anything else unchanged.
void testWin32Names()
{
    const std::u16string deep = u"C:/" + std::u16string(300, u'a') + u"/b";
    struct Case { std::u16string path; bool ok; std::wstring expected; const char *what; };
    const Case cases[] = {
        {u"C:/a/b", true, L"\\\\?\\C:\\a\\b", "a drive path"},
        {u"c:\\a/./x/../b", true, L"\\\\?\\c:\\a\\b", "a drive path with . and .."},
        {u"C:/a/b. ", true, L"\\\\?\\C:\\a\\b", "trailing dots and spaces, dropped as Windows does"},
        {u"C:/", true, L"\\\\?\\C:\\", "the root of a drive"},
        {deep, true, L"\\\\?\\C:\\" + std::wstring(300, L'a') + L"\\b", "a path beyond MAX_PATH"},
        {u"//server/share/d/f", true, L"\\\\?\\UNC\\server\\share\\d\\f", "a UNC path"},
        {u"\\\\server\\share\\f", true, L"\\\\?\\UNC\\server\\share\\f",
         "a UNC path with backslashes"},
        {u"\\\\?\\C:\\a/./b", true, L"\\\\?\\C:\\a/./b", "a long form, taken as it stands"},
        {u"\\\\.\\C:", true, L"\\\\.\\C:", "a device name"},
        {u"a/b", true, L"a/b", "a relative path"},
        {u"C:a", true, L"C:a", "a path relative to a drive's current directory"},
        {u"", true, L"", "the empty path"},
        {u"C:/a" + std::u16string(1, u'\0') + u"/b", false, L"", "a path holding a NUL"},
    };
    for (const Case &c : cases) {
        std::wstring name;
        const bool ok = vellumix::os::detail::win32Path(c.path, name);
        check(ok == c.ok && (!ok || name == c.expected),
              std::string("Win32 name: ") + c.what + " (got " + wintest::utf8(name) + ")");
    }
}

/*
    Paths beyond MAX_PATH, with Windows' limit on plain paths in force (wintest::LegacyPathLimit):
    a directory link at the end of a long path is seen as a link, as at the end of a short one,
    and the flushes, the copy and the move work there; no call of the layer gets a plain path
    that Windows would refuse. Under Wine the long link comes from make_links.sh; on Windows the
    test makes it where it may make links.
*/
void testLongPaths(const std::string &scratchParent)
{
    const std::u16string segment = u"/a-directory-nested-beyond-the-limit-of-plain-windows-paths";
    std::u16string base = u16(scratchParent) + u"/long-" + u16(uniqueTag());
    auto longForm = [](const std::u16string &path) {
        std::wstring name = L"\\\\?\\" + wintest::wide(path);
        std::replace(name.begin(), name.end(), L'/', L'\\');
        return name;
    };
    bool made = CreateDirectoryW(longForm(base).c_str(), nullptr);
    for (int i = 0; i < 5; ++i) {
        base += segment;
        made = made && CreateDirectoryW(longForm(base).c_str(), nullptr);
    }
    const std::u16string data = base + u"/data.bin";
    {
        wintest::Handle file(CreateFileW(longForm(data).c_str(), GENERIC_WRITE, 0, nullptr,
                                         CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        made = made && file.get() != INVALID_HANDLE_VALUE
            && WriteFile(file.get(), "journal", 7, &written, nullptr) && written == 7;
    }
    check(made && base.size() > MAX_PATH, "a scratch directory beyond MAX_PATH is made");

    // Where the long link is: planted from Linux under Wine, made here on Windows.
    const std::u16string premade = u16(scratchParent) + u"/premade-links";
    std::u16string deep;
    if (wintest::underWine()) {
        const Bytes relative = readFile(scratchParent + "/premade-links/deep.txt");
        deep = premade + u"/" + std::u16string(relative.begin(), relative.end());
    } else if (CreateDirectoryW(longForm(base + u"/dir").c_str(), nullptr)
               && CreateSymbolicLinkW(longForm(base + u"/to-dir").c_str(), L"dir",
                                      SYMBOLIC_LINK_FLAG_DIRECTORY
                                          | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)) {
        deep = base;
    }

    wintest::LegacyPathLimit limit;
    check(limit.installed(), "long paths: Windows' limit on plain paths is in force");
    check(GetFileAttributesW(wintest::wide(data).c_str()) == INVALID_FILE_ATTRIBUTES
              && GetLastError() == ERROR_FILENAME_EXCED_RANGE
              && GetFileAttributesW(longForm(data).c_str()) != INVALID_FILE_ATTRIBUTES,
          "long paths: a plain path beyond MAX_PATH is refused, its long form is not");
    wintest::LegacyPathLimit::resetRefusals();

    if (!deep.empty()) {
        check(deep.size() > MAX_PATH, "long paths: the planted link lies beyond MAX_PATH");
        struct Case { std::u16string path; LinkStatus expected; const char *what; };
        std::vector<Case> cases = {
            {deep + u"/to-dir", LinkStatus::Link, "a link to a directory beyond MAX_PATH"},
            {deep + u"\\to-dir", LinkStatus::Link, "the same with a backslash separator"},
            {deep + u"/dir/../to-dir", LinkStatus::Link, "the same through dir/.."},
            {deep + u"/dir", LinkStatus::NotALink, "the directory beside it"},
            {deep + u"/missing", LinkStatus::Unavailable, "a missing path beyond MAX_PATH"},
        };
        if (wintest::underWine())
            cases.push_back({premade + u"/to-dir", LinkStatus::Link, "the short link, alike"});
        for (const Case &c : cases)
            check(linkStatus(c.path) == c.expected, std::string("long paths: ") + c.what);
    } else {
        std::printf("note: no long link tested: this user may not create symbolic links\n");
    }

    auto exists = [&](const std::u16string &path) {
        return GetFileAttributesW(longForm(path).c_str()) != INVALID_FILE_ATTRIBUTES;
    };
    const std::u16string copy = base + u"/copy.bin", moved = base + u"/moved.bin";
    struct Step { bool result; bool expected; const char *what; };
    const Step steps[] = {
        {flushFileData(data), true, "the data of a file"},
        {flushDirectoryEntries(base), true, "the entries of its directory"},
        {flushFileSystem(data), true, "its file system"},
        {copyFileExclusive(data, copy), true, "a copy"},
        {copyFileExclusive(data, copy), false, "a copy onto the copy"},
        {moveNoReplace(copy, moved), true, "a move"},
        {moveNoReplace(data, moved), false, "a move onto the moved file"},
        {exists(moved) && !exists(copy) && exists(data), true, "the files after the move"},
        {flushFileData(base + u"/missing"), false, "the data of a missing file"},
    };
    for (const Step &step : steps)
        check(step.result == step.expected, std::string("long paths: ") + step.what);
    check(wintest::LegacyPathLimit::refusals() == 0,
          "long paths: no call of the layer got a plain path beyond MAX_PATH ("
              + std::to_string(wintest::LegacyPathLimit::refusals()) + " did)");
}

void testProcesses()
{
    using namespace std::chrono;
    ProcessHandle handle;
    wintest::Child shortLived;
    check(wintest::startSleeper(200, shortLived), "a child process starts");
    check(handle.open(shortLived.id) == OpenStatus::Opened, "a running child opens");
    check(handle.wait(0) == WaitStatus::TimedOut, "a running child times out at once");
    const std::wstring self = wintest::selfPath();
    const std::wstring selfName = self.substr(self.find_last_of(L"\\/") + 1);
    const ProcessProgramName running = processProgramName(shortLived.id);
    check(running.status == ProgramNameStatus::Found
              && lstrcmpiW(wintest::wide(running.fileName).c_str(), selfName.c_str()) == 0,
          "a running child's program is named as the system knows it: "
              + wintest::utf8(wintest::wide(running.fileName)));
    const auto start = steady_clock::now();
    check(handle.wait(20000) == WaitStatus::Ended, "the wait sees the child end");
    check(steady_clock::now() - start < seconds(10),
          "the wait ends when the child ends, not at its time-out");
    check(handle.wait(0) == WaitStatus::Ended, "an ended child stays ended");

    /*
        Once no handle holds the ended process, its id names no process. Wine lets go of the
        process a moment after the last handle is closed, so the open is tried for a while.
    */
    handle.close();
    shortLived.process.reset();
    check(!handle.isOpen(), "a closed handle is not open");
    OpenStatus reopened = OpenStatus::Opened;
    for (int attempt = 0; attempt < 100 && reopened == OpenStatus::Opened; ++attempt) {
        reopened = handle.open(shortLived.id);
        handle.close();
        if (reopened == OpenStatus::Opened)
            Sleep(50);
    }
    check(reopened == OpenStatus::NoSuchProcess, "an ended child's id is no such process");
    check(handle.open(0x7FFFFFF0) == OpenStatus::NoSuchProcess, "an id that no process has");
    check(processProgramName(0x7FFFFFF0).status == ProgramNameStatus::NoSuchProcess,
          "an id that no process has names no program");
    check(handle.wait(0) == WaitStatus::Failed, "waiting without a handle fails");

    wintest::Child longLived;
    check(wintest::startSleeper(60000, longLived), "a long child starts");
    check(handle.open(longLived.id) == OpenStatus::Opened, "a long child opens");
    check(handle.wait(100) == WaitStatus::TimedOut, "a still running child times out");
    ProcessHandle moved(std::move(handle));
    check(!handle.isOpen() && moved.isOpen(), "a handle moves");
    ProcessHandle reused;
    check(reused.open(longLived.id) == OpenStatus::Opened
              && reused.open(0x7FFFFFF0) == OpenStatus::NoSuchProcess && !reused.isOpen(),
          "a failed open leaves no handle, not even the one held before");

    // An adopted handle is waited on and closed like an opened one.
    HANDLE duplicate = nullptr;
    DuplicateHandle(GetCurrentProcess(), longLived.process.get(), GetCurrentProcess(),
                    &duplicate, SYNCHRONIZE, FALSE, 0);
    {
        ProcessHandle adopted = ProcessHandle::adopt(reinterpret_cast<std::intptr_t>(duplicate));
        check(adopted.isOpen() && adopted.wait(0) == WaitStatus::TimedOut,
              "an adopted handle waits on its process");
        ProcessHandle other;
        other = std::move(adopted);
        check(other.isOpen() && !adopted.isOpen(), "a handle move-assigns");
    }
    check(!wintest::handleIsOpen(duplicate), "the adopted handle is closed with its owner");
    check(!ProcessHandle::adopt(0).isOpen(), "a null handle is not adopted");

    TerminateProcess(longLived.process.get(), 9);
    check(moved.wait(20000) == WaitStatus::Ended, "a terminated child is seen to end");
}

/*
    The final message box, shown by this process. A second thread finds it by its title and reads
    its controls, since the text, the icon and the buttons are not visible from outside Wine; the
    driving script sees the window under the same title, takes a screenshot and dismisses it with
    the Return key.
*/
int runMessageBox()
{
    const std::u16string title = u"Vellumix \u66f4\u65b0";
    const std::u16string text = u"\u66f4\u65b0\u6ca1\u6709\u5b8c\u6210\uff1a\n"
                                u"\u66f4\u65b0\u7b7e\u540d\u9a8c\u8bc1\u5931\u8d25\uff0c"
                                u"\u5df2\u505c\u6b62\u66f4\u65b0";
    wintest::BoxContents seen;
    std::thread reader([&] { seen = wintest::readMessageBox(wintest::wide(title), 60000); });
    showMessageBox(title, text);
    reader.join();
    check(seen.found, "the message box appears under its title");
    check(seen.text == wintest::wide(text),
          "the message box shows the text: " + wintest::utf8(seen.text));
    /*
        MB_ICONINFORMATION shows the system's shared information icon, the handle that LoadIconW
        gives for it. Windows may show a copy at another size, so only the count is checked there.
    */
    check(seen.icons.size() == 1, "the message box shows one icon");
    if (wintest::underWine())
        check(seen.icons.size() == 1 && seen.icons[0] == LoadIconW(nullptr, IDI_INFORMATION),
              "the icon is the information icon");
    check(seen.buttons.size() == 1 && seen.buttons[0].first == IDOK,
          "the message box has exactly one button, OK");
    std::printf("message box returned; %d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
#endif

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--sleep") == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[2])));
        return 0;
    }
#ifdef _WIN32
    if (argc == 2 && std::strcmp(argv[1], "--message-box") == 0)
        return runMessageBox();
#endif
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s VECTOR_DIR SCRATCH_DIR\n", argv[0]);
        return 2;
    }
    testSignatures(argv[1]);
    testSha256();
    testLinks(argv[2]);
    testFlushes(argv[2]);
    testRegularFileReads(argv[2]);
    testDescriptors(argv[2]);
    testByteNames(argv[2]);
    testPrivateFolders(argv[2]);
    testStagedFiles(argv[2]);
    testWriteBackAndOpenRemoval(argv[2]);
    testConsoleAndLockOwner(argv[2]);
#ifdef _WIN32
    testWin32Names();
    testLongPaths(argv[2]);
    testProcesses();
#else
    testProcesses(argv[0]);
    showMessageBox(u"Vellumix \u66f4\u65b0", u"os layer test");
#endif
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
