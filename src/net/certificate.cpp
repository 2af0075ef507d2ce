#include "net/certificate.h"

#include <algorithm>
#include <cctype>
#include <ctime>

#include <arpa/inet.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace ostrel {

namespace {

// Problems found during one verification; the verification runs on this thread, inside the
// handshake, and its callback takes no argument of ours.
thread_local std::vector<std::pair<int, X509*>>* collecting = nullptr;

int CollectProblem(int ok, X509_STORE_CTX* store) {
    if (!ok && collecting != nullptr)
        collecting->emplace_back(X509_STORE_CTX_get_error(store), X509_STORE_CTX_get_current_cert(store));
    // Go on: every problem is worth naming, and the check decides at the end.
    return 1;
}

bool IsIpAddress(const std::string& host) {
    unsigned char buffer[16];
    return inet_pton(AF_INET, host.c_str(), buffer) == 1 || inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

std::string DateOf(const ASN1_TIME* time) {
    std::tm tm{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1)
        return "";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d", &tm);
    return text;
}

std::string CommonName(const X509_NAME* name) {
    if (name == nullptr)
        return "";
    const int at = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (at < 0)
        return "";
    const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, at));
    return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(data)),
                       static_cast<std::size_t>(ASN1_STRING_length(data)));
}

// The host names and addresses a certificate is for, as the user would write them.
std::string NamesOf(X509* certificate) {
    std::vector<std::string> names;
    auto* alt = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; alt != nullptr && i < sk_GENERAL_NAME_num(alt) && names.size() < 4; ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(alt, i);
        if (name->type == GEN_DNS) {
            const ASN1_STRING* s = name->d.dNSName;
            names.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                               static_cast<std::size_t>(ASN1_STRING_length(s)));
        } else if (name->type == GEN_IPADD) {
            const ASN1_STRING* s = name->d.iPAddress;
            char text[INET6_ADDRSTRLEN] = {};
            const int family = ASN1_STRING_length(s) == 4 ? AF_INET : AF_INET6;
            if (inet_ntop(family, ASN1_STRING_get0_data(s), text, sizeof text) != nullptr)
                names.emplace_back(text);
        }
    }
    if (alt != nullptr)
        GENERAL_NAMES_free(alt);
    if (names.empty())
        names.push_back(CommonName(X509_get_subject_name(certificate)));
    std::string joined;
    for (const auto& n : names)
        joined += (joined.empty() ? "" : ", ") + n;
    return joined;
}

std::string ReasonFor(int error, X509* certificate, X509* leaf, const std::string& host) {
    X509* subject = certificate != nullptr ? certificate : leaf;
    switch (error) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return "it expired on " + DateOf(X509_get0_notAfter(subject));
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return "it is not valid before " + DateOf(X509_get0_notBefore(subject));
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return "it is for " + NamesOf(leaf) + ", not for " + host;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        return "it is self-signed (issued by the server itself)";
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE: {
        const std::string issuer = CommonName(X509_get_issuer_name(subject));
        return "it was issued by an unknown authority" + (issuer.empty() ? "" : " (" + issuer + ")");
    }
    default:
        return X509_verify_cert_error_string(error);
    }
}

std::string MessageFor(const std::string& host, const std::vector<std::string>& reasons,
                       const std::string& fingerprint) {
    std::string why;
    for (const auto& r : reasons)
        why += (why.empty() ? "" : "; ") + r;
    return "The certificate of " + host + " is not trusted: " + why + ". Its SHA-256 fingerprint is " + fingerprint +
           ". Trust it only if your provider confirms that fingerprint.";
}

} // namespace

std::string CertificateFingerprint(X509* certificate) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (certificate == nullptr || X509_digest(certificate, EVP_sha256(), digest, &length) != 1)
        return "";
    static const char* const hex = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        if (i > 0)
            text += ':';
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 15];
    }
    return text;
}

std::string NormalizeFingerprint(const std::string& text) {
    std::string digits;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == ':' || std::isspace(u))
            continue;
        if (!std::isxdigit(u))
            return "";
        digits += static_cast<char>(std::toupper(u));
    }
    if (digits.size() != 64)
        return "";
    std::string result;
    for (std::size_t i = 0; i < digits.size(); i += 2)
        result += (i > 0 ? ":" : "") + digits.substr(i, 2);
    return result;
}

ECertificateError::ECertificateError(std::string host, std::vector<std::string> reasons, std::string fingerprint)
    : ESocketError(MessageFor(host, reasons, fingerprint)), host_(std::move(host)), reasons_(std::move(reasons)),
      fingerprint_(std::move(fingerprint)) {}

TCertificateCheck::TCertificateCheck(std::string host, std::string trustedFingerprint)
    : host_(std::move(host)), trusted_(NormalizeFingerprint(trustedFingerprint)) {}

void TCertificateCheck::PrepareContext(SSL_CTX* ctx) {
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_default_verify_paths(ctx);
    // The callback below does the verification; the mode makes a failure end the handshake.
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
}

void TCertificateCheck::Install(SSL_CTX* ctx) {
    verdict_ = TCertificateVerdict{};
    SSL_CTX_set_cert_verify_callback(ctx, &TCertificateCheck::VerifyCallback, this);
}

int TCertificateCheck::VerifyCallback(X509_STORE_CTX* store, void* arg) {
    auto& check = *static_cast<TCertificateCheck*>(arg);
    auto& verdict = check.verdict_;
    verdict = TCertificateVerdict{};
    X509* leaf = X509_STORE_CTX_get0_cert(store);
    if (leaf == nullptr)
        return 0;
    verdict.Checked = true;
    verdict.Fingerprint = CertificateFingerprint(leaf);

    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(store);
    if (IsIpAddress(check.host_))
        X509_VERIFY_PARAM_set1_ip_asc(param, check.host_.c_str());
    else
        X509_VERIFY_PARAM_set1_host(param, check.host_.c_str(), 0);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);

    std::vector<std::pair<int, X509*>> problems;
    collecting = &problems;
    X509_STORE_CTX_set_verify_cb(store, CollectProblem);
    const int verified = X509_verify_cert(store);
    collecting = nullptr;
    if (verified != 1 && problems.empty())
        problems.emplace_back(X509_STORE_CTX_get_error(store), nullptr);

    for (const auto& [error, certificate] : problems) {
        std::string reason = ReasonFor(error, certificate, leaf, check.host_);
        if (std::find(verdict.Reasons.begin(), verdict.Reasons.end(), reason) == verdict.Reasons.end())
            verdict.Reasons.push_back(std::move(reason));
    }
    if (verdict.Reasons.empty()) {
        verdict.Trusted = true;
    } else if (!check.trusted_.empty() && check.trusted_ == verdict.Fingerprint) {
        verdict.Trusted = true;
        verdict.Accepted = true;
    }
    if (verdict.Trusted)
        X509_STORE_CTX_set_error(store, X509_V_OK);
    return verdict.Trusted ? 1 : 0;
}

ECertificateError TCertificateCheck::Error() const {
    return ECertificateError(host_, verdict_.Reasons, verdict_.Fingerprint);
}

} // namespace ostrel
