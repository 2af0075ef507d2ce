#pragma once

#include <string>
#include <vector>

#include "util/error.h"

// OpenSSL's own spellings of its types, so that users of this header need not include it.
typedef struct x509_st X509;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct x509_store_ctx_st X509_STORE_CTX;

namespace ostrel {

// "AB:CD:..." of the certificate's SHA-256 digest, the form shown to the user.
std::string CertificateFingerprint(X509* certificate);
// A fingerprint as a user may type or paste it (hex, with or without colons or blanks, any
// case) in the form CertificateFingerprint gives; empty when it is not 32 bytes of hex.
std::string NormalizeFingerprint(const std::string& text);

// A server certificate that failed the check: why, and which certificate, so that the user can
// compare the fingerprint with the one the provider publishes and choose to trust it.
class ECertificateError : public ESocketError {
public:
    ECertificateError(std::string host, std::vector<std::string> reasons, std::string fingerprint);
    const char* ClassName() const override { return "ECertificateError"; }
    const std::string& Host() const { return host_; }
    const std::vector<std::string>& Reasons() const { return reasons_; }
    const std::string& Fingerprint() const { return fingerprint_; }

private:
    std::string host_;
    std::vector<std::string> reasons_;
    std::string fingerprint_;
};

// What the check found on one handshake.
struct TCertificateVerdict {
    bool Checked = false;  // the server showed a certificate and it was looked at
    bool Trusted = false;  // verified, or the very certificate the user chose to trust
    bool Accepted = false; // trusted by the user's choice although it fails verification
    std::string Fingerprint;
    std::vector<std::string> Reasons; // why it fails verification, in words
};

// The certificate rules of every connection the program makes: the chain must lead to an
// authority of OpenSSL's default trust store (SSL_CERT_FILE and SSL_CERT_DIR work) and name the
// host (or the IP address) that was asked for; a certificate that fails is refused, unless it
// is the one whose SHA-256 fingerprint the user chose to trust. The check replaces the
// verification of each handshake on a context, so a refused server never sees the handshake
// finish.
class TCertificateCheck {
public:
    TCertificateCheck(std::string host, std::string trustedFingerprint);
    TCertificateCheck(const TCertificateCheck&) = delete;
    TCertificateCheck& operator=(const TCertificateCheck&) = delete;

    // Makes every handshake on ctx run this check; the check must outlive them.
    void Install(SSL_CTX* ctx);
    const TCertificateVerdict& Verdict() const { return verdict_; }
    // The error for a refused certificate.
    ECertificateError Error() const;

    // Sets up a client context: TLS 1.2 or later, the default trust store.
    static void PrepareContext(SSL_CTX* ctx);

private:
    static int VerifyCallback(X509_STORE_CTX* store, void* arg);
    std::string host_;
    std::string trusted_;
    TCertificateVerdict verdict_;
};

} // namespace ostrel
