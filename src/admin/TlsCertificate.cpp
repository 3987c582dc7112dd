#include "admin/TlsCertificate.h"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "common/PrivateFile.h"

namespace vh {

namespace {

constexpr long kValidDays = 3650;

template <typename T, void (*Free)(T*)>
struct TFree {
  void operator()(T* p) const { Free(p); }
};
using TKey = std::unique_ptr<EVP_PKEY, TFree<EVP_PKEY, EVP_PKEY_free>>;
using TCertificate = std::unique_ptr<X509, TFree<X509, X509_free>>;
using TExtension = std::unique_ptr<X509_EXTENSION, TFree<X509_EXTENSION, X509_EXTENSION_free>>;

struct TCloseFile {
  void operator()(FILE* f) const { std::fclose(f); }
};
using TFile = std::unique_ptr<FILE, TCloseFile>;

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what);
}

void AddExtension(X509* certificate, int nid, const std::string& value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  TExtension extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()));
  if (!extension || X509_add_ext(certificate, extension.get(), -1) != 1)
    Fail("cannot add the certificate extension " + value);
}

TCertificate MakeCertificate(EVP_PKEY* key, const std::string& hostName) {
  TCertificate certificate(X509_new());
  if (!certificate) Fail("out of memory");
  X509* c = certificate.get();
  X509_set_version(c, 2);
  // A random serial: a browser that saw an earlier certificate of this name must not take
  // the new one for it.
  unsigned char serial[16];
  if (RAND_bytes(serial, sizeof serial) != 1) Fail("no random bytes for the serial number");
  serial[0] &= 0x7F;
  std::unique_ptr<BIGNUM, TFree<BIGNUM, BN_free>> number(BN_bin2bn(serial, sizeof serial, nullptr));
  if (!number || !BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(c)))
    Fail("cannot set the serial number");
  X509_gmtime_adj(X509_getm_notBefore(c), -3600);
  X509_gmtime_adj(X509_getm_notAfter(c), kValidDays * 24 * 3600);
  X509_set_pubkey(c, key);
  X509_NAME* name = X509_get_subject_name(c);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(hostName.c_str()), -1, -1, 0);
  X509_set_issuer_name(c, name);
  AddExtension(c, NID_basic_constraints, "critical,CA:FALSE");
  AddExtension(c, NID_key_usage, "critical,digitalSignature");
  AddExtension(c, NID_ext_key_usage, "serverAuth");
  // The host name is a checked DNS name (CertificateHostName): no syntax of the extension
  // language can come in with it.
  std::string names = "DNS:" + hostName;
  if (hostName != "localhost") names += ",DNS:localhost";
  AddExtension(c, NID_subject_alt_name, names + ",IP:127.0.0.1");
  if (X509_sign(c, key, EVP_sha256()) == 0) Fail("cannot sign the certificate");
  return certificate;
}

TFile OpenNew(const std::string& path, mode_t mode) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) Fail(path + ": " + std::strerror(errno));
  FILE* f = ::fdopen(fd, "w");
  if (!f) {
    ::close(fd);
    Fail(path + ": " + std::strerror(errno));
  }
  return TFile(f);
}

bool IsDnsName(const std::string& name) {
  if (name.empty() || name.size() > 253 || name.front() == '-' || name.front() == '.') return false;
  for (char ch : name)
    if (!(std::isalnum(static_cast<unsigned char>(ch)) || ch == '-' || ch == '.')) return false;
  return true;
}

}  // namespace

std::string CertificateHostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || !IsDnsName(name)) return "localhost";
  return name;
}

bool EnsureSelfSignedCertificate(const TCertificateFiles& files, const std::string& hostName) {
  std::error_code ec;
  const bool haveCertificate = std::filesystem::exists(files.certificate, ec);
  const bool haveKey = std::filesystem::exists(files.privateKey, ec);
  if (haveCertificate && haveKey) return false;
  if (haveCertificate || haveKey)
    Fail((haveCertificate ? files.privateKey : files.certificate) +
         " is missing while its partner exists; remove the other file to make a new pair");
  if (!IsDnsName(hostName)) Fail("no certificate for the host name \"" + hostName + "\"");
  TKey key(EVP_EC_gen("P-256"));
  if (!key) Fail("cannot make a key");
  TCertificate certificate = MakeCertificate(key.get(), hostName);
  {
    TFile out = OpenNew(files.privateKey, kPrivateFileMode);
    if (PEM_write_PrivateKey(out.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
      Fail("cannot write " + files.privateKey);
  }
  TFile out = OpenNew(files.certificate, 0644);
  if (PEM_write_X509(out.get(), certificate.get()) != 1) Fail("cannot write " + files.certificate);
  if (std::fflush(out.get()) != 0) Fail("cannot write " + files.certificate);
  return true;
}

namespace {
TCertificate ReadCertificate(const std::string& pemFile) {
  TFile in(std::fopen(pemFile.c_str(), "r"));
  if (!in) Fail(pemFile + ": " + std::strerror(errno));
  TCertificate certificate(PEM_read_X509(in.get(), nullptr, nullptr, nullptr));
  if (!certificate) Fail(pemFile + ": no PEM certificate");
  return certificate;
}
}  // namespace

void CheckCertificateFiles(const TCertificateFiles& files) {
  TCertificate certificate = ReadCertificate(files.certificate);
  TFile in(std::fopen(files.privateKey.c_str(), "r"));
  if (!in) Fail(files.privateKey + ": " + std::strerror(errno));
  TKey key(PEM_read_PrivateKey(in.get(), nullptr, nullptr, nullptr));
  if (!key) Fail(files.privateKey + ": no PEM private key (or one with a pass phrase)");
  if (X509_check_private_key(certificate.get(), key.get()) != 1)
    Fail(files.privateKey + " is not the key of " + files.certificate);
}

std::string CertificateFingerprint(const std::string& pemFile) {
  TCertificate certificate = ReadCertificate(pemFile);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (X509_digest(certificate.get(), EVP_sha256(), digest, &length) != 1)
    Fail(pemFile + ": cannot digest the certificate");
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    if (i) text += ':';
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 15];
  }
  return text;
}

}  // namespace vh
