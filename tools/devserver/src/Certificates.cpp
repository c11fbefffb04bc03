#include "Certificates.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <random>
#include <stdexcept>

namespace devserver {
namespace {

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertFree {
    void operator()(X509* cert) const { X509_free(cert); }
};
struct FileClose {
    void operator()(FILE* file) const { std::fclose(file); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;
using File = std::unique_ptr<FILE, FileClose>;

constexpr long kCaDays = 3650;
constexpr long kLeafDays = 365;
// A leaf that would expire within this many days is replaced at start.
constexpr int kLeafRenewDays = 7;

// Holds an exclusive lock on the state folder's lock file for the scope of the object.
class FolderLock {
public:
    explicit FolderLock(const std::string& dir) {
        fd_ = ::open((dir + "/.tls.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0 || ::flock(fd_, LOCK_EX) != 0) throw std::runtime_error("cannot lock " + dir);
    }
    ~FolderLock() { ::close(fd_); }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    int fd_ = -1;
};

Key NewKey() {
    Key key(EVP_RSA_gen(2048));
    if (!key) throw std::runtime_error("RSA key generation failed");
    return key;
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (extension == nullptr) throw std::runtime_error("certificate extension failed");
    X509_add_ext(cert, extension, -1);
    X509_EXTENSION_free(extension);
}

// A certificate for key; self-signed (a CA) when issuer is null.
Cert MakeCert(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey, long days) {
    Cert cert(X509_new());
    X509_set_version(cert.get(), 2);
    std::random_device random;
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), static_cast<long>(random() & 0x7fffffff));
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), days * 24 * 3600);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("vond-devserver"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName),
                               -1, -1, 0);
    X509* signer = issuer != nullptr ? issuer : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
    AddExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    if (issuer == nullptr) {
        AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        AddExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        AddExtension(cert.get(), signer, NID_basic_constraints, "CA:FALSE");
        AddExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
        AddExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature,keyEncipherment");
        AddExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
        AddExtension(cert.get(), signer, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
    }
    if (X509_sign(cert.get(), issuerKey != nullptr ? issuerKey : key, EVP_sha256()) <= 0)
        throw std::runtime_error("certificate signing failed");
    return cert;
}

Cert ReadCert(const std::string& path) {
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) return nullptr;
    return Cert(PEM_read_X509(file.get(), nullptr, nullptr, nullptr));
}

Key ReadKey(const std::string& path) {
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) return nullptr;
    return Key(PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr));
}

// Written beside the target and renamed over it, so a reader never sees half a file.
void WriteCert(const std::string& path, X509* cert) {
    const std::string temp = path + ".tmp";
    {
        File file(std::fopen(temp.c_str(), "wb"));
        if (!file || PEM_write_X509(file.get(), cert) != 1) throw std::runtime_error("cannot write " + temp);
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) throw std::runtime_error("cannot write " + path);
}

void WriteKey(const std::string& path, EVP_PKEY* key) {
    const std::string temp = path + ".tmp";
    {
        int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        File file(fd >= 0 ? ::fdopen(fd, "wb") : nullptr);
        if (!file || PEM_write_PrivateKey(file.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
            throw std::runtime_error("cannot write " + temp);
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) throw std::runtime_error("cannot write " + path);
}

bool LeafIsFresh(X509* leaf, X509* ca, EVP_PKEY* caKey) {
    if (leaf == nullptr) return false;
    EVP_PKEY* caPublic = X509_get0_pubkey(ca);
    if (caPublic == nullptr || X509_verify(leaf, caPublic) != 1 || EVP_PKEY_eq(caPublic, caKey) != 1)
        return false;
    std::time_t soon = std::time(nullptr) + kLeafRenewDays * 24 * 3600;
    return X509_cmp_time(X509_get0_notAfter(leaf), &soon) > 0;
}

}  // namespace

TlsFiles EnsureTlsFiles(const std::string& stateDir) {
    TlsFiles files{stateDir + "/ca.pem", stateDir + "/server.pem", stateDir + "/server-key.pem"};
    const std::string caKeyFile = stateDir + "/ca-key.pem";
    FolderLock lock(stateDir);

    Cert ca = ReadCert(files.caFile);
    Key caKey = ReadKey(caKeyFile);
    if (!ca || !caKey || EVP_PKEY_eq(X509_get0_pubkey(ca.get()), caKey.get()) != 1) {
        caKey = NewKey();
        ca = MakeCert(caKey.get(), "vond-devserver local CA", nullptr, nullptr, kCaDays);
        WriteKey(caKeyFile, caKey.get());
        WriteCert(files.caFile, ca.get());
    }
    Cert leaf = ReadCert(files.certFile);
    Key leafKey = ReadKey(files.keyFile);
    if (!leafKey || !LeafIsFresh(leaf.get(), ca.get(), caKey.get()) ||
        EVP_PKEY_eq(X509_get0_pubkey(leaf.get()), leafKey.get()) != 1) {
        leafKey = NewKey();
        leaf = MakeCert(leafKey.get(), "localhost", ca.get(), caKey.get(), kLeafDays);
        WriteKey(files.keyFile, leafKey.get());
        WriteCert(files.certFile, leaf.get());
    }
    return files;
}

}  // namespace devserver
