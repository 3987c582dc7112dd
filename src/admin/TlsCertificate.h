// The web interface's TLS certificate when the operator names none: a self-signed certificate
// for the host's name, made with OpenSSL at the first start, kept beside the database (the key
// readable by the server's user alone) and reused on later starts. Start-up thread only.
#pragma once

#include <string>

namespace vh {

struct TCertificateFiles {
  std::string certificate;  // PEM
  std::string privateKey;   // PEM, created with mode 0600
};

// Makes both files when neither exists and gives true; gives false when both exist (kept as
// they are). Throws std::runtime_error with the reason when only one exists or a file cannot
// be made.
bool EnsureSelfSignedCertificate(const TCertificateFiles& files, const std::string& hostName);

// Throws std::runtime_error naming the file and the reason when the certificate or the key
// cannot be read as PEM or they do not belong together.
void CheckCertificateFiles(const TCertificateFiles& files);

// The SHA-256 fingerprint of the first certificate in a PEM file, as upper-case hex pairs
// joined by colons. Throws std::runtime_error when the file holds no certificate.
std::string CertificateFingerprint(const std::string& pemFile);

// The name the generated certificate is made for: the machine's host name when it is a plain
// DNS name, otherwise "localhost".
std::string CertificateHostName();

}  // namespace vh
