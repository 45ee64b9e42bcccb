// Trusts a test CA inside one Wine prefix: adds a DER certificate to, removes it from, or finds it
// in the machine's "Root" store. Exit code 0 on success, 1 on bad arguments, 2 when the store
// refuses, 3 when "remove" or "check" finds no such certificate.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// Closes the store on every path that opened it.
class StoreHandle {
public:
    explicit StoreHandle(HCERTSTORE store) : store_(store) {}
    ~StoreHandle() {
        if (store_) CertCloseStore(store_, 0);
    }
    StoreHandle(const StoreHandle&) = delete;
    StoreHandle& operator=(const StoreHandle&) = delete;
    HCERTSTORE get() const { return store_; }

private:
    HCERTSTORE store_;
};

bool ReadDer(const char* path, std::vector<BYTE>* der) {
    FILE* file = std::fopen(path, "rb");
    if (!file) return false;
    BYTE buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
        der->insert(der->end(), buffer, buffer + got);
    }
    std::fclose(file);
    return !der->empty();
}

PCCERT_CONTEXT Find(HCERTSTORE store, const std::vector<BYTE>& der) {
    PCCERT_CONTEXT wanted = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                                         static_cast<DWORD>(der.size()));
    if (!wanted) return nullptr;
    PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0,
                                                      CERT_FIND_EXISTING, wanted, nullptr);
    CertFreeCertificateContext(wanted);
    return found;
}

int Remove(HCERTSTORE store, const std::vector<BYTE>& der) {
    PCCERT_CONTEXT found = Find(store, der);
    if (!found) return 3;
    // Frees found, whether or not it succeeds.
    if (!CertDeleteCertificateFromStore(found)) return 2;
    // Wine keeps a deletion in memory until the registry store is committed, and its collection
    // never reaches that on close.
    return CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr) ? 0 : 2;
}

}  // namespace

// root_certificate add|remove CERT.der
int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[1], "add") != 0 && std::strcmp(argv[1], "remove") != 0 &&
                      std::strcmp(argv[1], "check") != 0)) {
        std::fprintf(stderr, "usage: root_certificate add|remove|check CERT.der\n");
        return 1;
    }
    std::vector<BYTE> der;
    if (!ReadDer(argv[2], &der)) {
        std::fprintf(stderr, "cannot read %s\n", argv[2]);
        return 1;
    }
    StoreHandle store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                    CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"));
    if (!store.get()) {
        std::fprintf(stderr, "CertOpenStore failed: %lu\n", GetLastError());
        return 2;
    }
    if (std::strcmp(argv[1], "remove") == 0) return Remove(store.get(), der);
    if (std::strcmp(argv[1], "check") == 0) {
        PCCERT_CONTEXT found = Find(store.get(), der);
        if (!found) return 3;
        CertFreeCertificateContext(found);
        return 0;
    }
    if (!CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der.data(),
                                          static_cast<DWORD>(der.size()),
                                          CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
        std::fprintf(stderr, "CertAddEncodedCertificateToStore failed: %lu\n", GetLastError());
        return 2;
    }
    // Written through to the registry now, not whenever Wine's collection gets to it.
    return CertControlStore(store.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr) ? 0 : 2;
}
