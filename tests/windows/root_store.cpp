// A Windows helper of the Wine suite: puts a certificate authority into the machine's "ROOT"
// system store, or takes it out again, as an administrator or a company's policy would. Under
// Wine the store belongs to the prefix and the change needs no confirmation; on Windows adding to
// the store of the current user asks the user first.
//
//   root-store.exe add|remove CERT.pem     exit 0: done; 1: failed (the reason on standard error)
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <vector>

namespace {

class Store
{
public:
    Store() : m_store(CertOpenSystemStoreW(0, L"ROOT")) {}
    ~Store()
    {
        if (m_store)
            CertCloseStore(m_store, 0);
    }
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;
    HCERTSTORE get() const { return m_store; }

private:
    HCERTSTORE m_store;
};

int failure(const char *what)
{
    std::fprintf(stderr, "root-store: %s (error %lu)\n", what, GetLastError());
    return 1;
}

// The DER bytes of the first certificate of a PEM file.
std::vector<BYTE> readCertificate(const wchar_t *path)
{
    std::vector<char> pem;
    if (FILE *file = _wfopen(path, L"rb")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
            pem.insert(pem.end(), buffer, buffer + n);
        std::fclose(file);
    }
    DWORD size = 0;
    if (pem.empty()
        || !CryptStringToBinaryA(pem.data(), DWORD(pem.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                                 &size, nullptr, nullptr))
        return {};
    std::vector<BYTE> der(size);
    if (!CryptStringToBinaryA(pem.data(), DWORD(pem.size()), CRYPT_STRING_BASE64HEADER, der.data(),
                              &size, nullptr, nullptr))
        return {};
    der.resize(size);
    return der;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc != 3 || (lstrcmpW(argv[1], L"add") != 0 && lstrcmpW(argv[1], L"remove") != 0)) {
        std::fprintf(stderr, "usage: root-store.exe add|remove CERT.pem\n");
        return 2;
    }
    const std::vector<BYTE> der = readCertificate(argv[2]);
    if (der.empty())
        return failure("no PEM certificate in the file");
    const Store store;
    if (!store.get())
        return failure("cannot open the ROOT store");
    if (lstrcmpW(argv[1], L"add") == 0) {
        if (!CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der.data(),
                                              DWORD(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                              nullptr))
            return failure("cannot add the certificate");
        return 0;
    }
    PCCERT_CONTEXT certificate =
        CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), DWORD(der.size()));
    if (!certificate)
        return failure("not a certificate");
    PCCERT_CONTEXT found = CertFindCertificateInStore(store.get(), X509_ASN_ENCODING, 0,
                                                      CERT_FIND_EXISTING, certificate, nullptr);
    CertFreeCertificateContext(certificate);
    // Deleting frees the context, whether or not it succeeds; a certificate not in the store is
    // already removed.
    if (found && !CertDeleteCertificateFromStore(found))
        return failure("cannot remove the certificate");
    return 0;
}
