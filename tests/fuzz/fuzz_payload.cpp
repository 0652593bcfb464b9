// Fuzz target: the rules of a manifest's payload, after the signature (which the fuzzer cannot
// forge) has been checked. Whatever the bytes, the check either refuses them for one of its rules or
// returns a manifest that keeps every rule.
#include "fuzzcheck.h"
#include "manifest_p.h"
#include "pathpolicy.h"

#include <QRegularExpression>
#include <QSet>

using namespace vellumix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray payload(reinterpret_cast<const char *>(data), qsizetype(size));
    const CoreResult<UpdateManifest> checked = checkUpdatePayload(payload);
    if (!checked.ok()) {
        const CoreError::Code code = checked.error().code;
        FUZZ_CHECK(code == CoreError::UnsupportedUpdate || code == CoreError::FileListInvalid
                   || code == CoreError::IllegalOrDuplicatePath
                   || code == CoreError::FileChecksInvalid || code == CoreError::TotalSizeExceeded
                   || code == CoreError::RequiredProgramsMissing);
        return 0;
    }
    const UpdateManifest &manifest = *checked;
    static const QRegularExpression digest(QStringLiteral("^[0-9a-f]{64}\\n?$"));
    static const QRegularExpression version(QStringLiteral("^[0-9A-Za-z.+-]{1,60}\\n?$"));
    FUZZ_CHECK(manifest.sequence >= 1 && manifest.sequence <= 9999999);
    FUZZ_CHECK(version.match(manifest.version).hasMatch());
    FUZZ_CHECK(!manifest.files.isEmpty() && manifest.files.size() < 20000);
    FUZZ_CHECK(manifest.envelope.isEmpty());
    QSet<QString> seen;
    qint64 total = 0;
    bool mainProgram = false;
    bool updater = false;
    for (const ManifestFile &file : manifest.files) {
        FUZZ_CHECK(isAllowedUpdatePath(file.path));
        FUZZ_CHECK(!seen.contains(updatePathKey(file.path)));
        seen.insert(updatePathKey(file.path));
        FUZZ_CHECK(digest.match(QString::fromLatin1(file.sha256)).hasMatch());
        FUZZ_CHECK(digest.match(QString::fromLatin1(file.packedSha256)).hasMatch());
        FUZZ_CHECK(file.size >= 0 && file.size <= 536870912);
        FUZZ_CHECK(file.packedSize >= 4 && file.packedSize <= 536870912);
        total += file.size;
        mainProgram = mainProgram || file.path == u"Vellumix.exe";
        updater = updater || file.path == u"VellumixUpdater.exe";
    }
    FUZZ_CHECK(total <= 4294967296LL);
    FUZZ_CHECK(mainProgram && updater);
    return 0;
}
