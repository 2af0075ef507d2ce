#pragma once

#include <string>

#include "support/test_support.h"

namespace ostrel::test {

// Certificates made by the openssl command at test time, in a folder of their own: a test CA,
// and server certificates named "good" (localhost, 127.0.0.1 and ::1, issued by the CA),
// "expired" (the same names, valid only in 2020), "wronghost" (mail.example.org only),
// "unknown" (issued by a CA nobody trusts) and "selfsigned".
class TTestCertificates {
public:
    TTestCertificates();
    std::string CaFile() const { return dir_.File("ca.pem"); }
    std::string Cert(const std::string& name) const { return dir_.File(name + ".pem"); }
    std::string Key(const std::string& name) const { return dir_.File(name + ".key"); }
    // "AB:CD:..." as openssl prints it.
    std::string Fingerprint(const std::string& name) const;

private:
    TempDir dir_;
};

// One set for the whole test program: making them takes openssl a moment.
const TTestCertificates& SharedTestCertificates();

// Makes the test CA the only one OpenSSL trusts (SSL_CERT_FILE) while the object lives.
class TTrustOnly {
public:
    explicit TTrustOnly(const std::string& caFile);
    ~TTrustOnly();
    TTrustOnly(const TTrustOnly&) = delete;
    TTrustOnly& operator=(const TTrustOnly&) = delete;

private:
    std::string old_;
    bool hadOld_ = false;
};

} // namespace ostrel::test
