#include "support/certificates.h"

#include <cstdlib>
#include <stdexcept>

#include "support/run_program.h"

namespace ostrel::test {

namespace {

const char* const MakeScript = R"SH(
set -e
ec="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
ca="-addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign"
openssl req -x509 $ec -keyout ca.key -out ca.pem -days 3650 -subj "/CN=Ostrel Test CA" $ca
openssl req -x509 $ec -keyout other-ca.key -out other-ca.pem -days 3650 -subj "/CN=Unknown Test CA" $ca
leaf() { # name issuer names [start end]
    openssl req $ec -keyout $1.key -out $1.csr -subj "/CN=$1"
    printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' "$3" > $1.ext
    if [ -n "${4:-}" ]; then
        mkdir -p db; : > db/index; echo 1000 > db/serial
        printf '[ca]\ndefault_ca=c\n[c]\ndatabase=db/index\nserial=db/serial\nnew_certs_dir=db\ndefault_md=sha256\npolicy=p\nunique_subject=no\n[p]\ncommonName=supplied\n' > ca.cnf
        openssl ca -batch -config ca.cnf -cert $2.pem -keyfile $2.key -in $1.csr -out $1.pem -startdate $4 -enddate $5 -extfile $1.ext -notext
    else
        openssl x509 -req -in $1.csr -CA $2.pem -CAkey $2.key -CAcreateserial -out $1.pem -days 825 -extfile $1.ext
    fi
}
leaf good ca "DNS:localhost,IP:127.0.0.1,IP:::1"
leaf expired ca "DNS:localhost,IP:127.0.0.1" 20200101000000Z 20210101000000Z
leaf wronghost ca "DNS:mail.example.org"
leaf unknown other-ca "DNS:localhost,IP:127.0.0.1"
openssl req -x509 $ec -keyout selfsigned.key -out selfsigned.pem -days 825 -subj "/CN=localhost" -addext subjectAltName=DNS:localhost,IP:127.0.0.1
)SH";

} // namespace

const TTestCertificates& SharedTestCertificates() {
    static const TTestCertificates certificates;
    return certificates;
}

TTestCertificates::TTestCertificates() {
    const auto run = RunProgram({"/bin/sh", "-c", MakeScript}, {"PATH=/usr/bin:/bin"}, "", dir_.Path());
    if (run.Status != 0)
        throw std::runtime_error("openssl could not make the test certificates (install the Debian package "
                                 "openssl): " +
                                 run.Err);
}

std::string TTestCertificates::Fingerprint(const std::string& name) const {
    const auto run = RunProgram({"/usr/bin/openssl", "x509", "-in", Cert(name), "-noout", "-fingerprint", "-sha256"},
                                {"PATH=/usr/bin:/bin"});
    const auto equals = run.Out.find('=');
    if (run.Status != 0 || equals == std::string::npos)
        throw std::runtime_error("openssl could not read " + Cert(name));
    std::string fingerprint = run.Out.substr(equals + 1);
    while (!fingerprint.empty() && (fingerprint.back() == '\n' || fingerprint.back() == '\r'))
        fingerprint.pop_back();
    return fingerprint;
}

TTrustOnly::TTrustOnly(const std::string& caFile) {
    if (const char* old = std::getenv("SSL_CERT_FILE")) {
        old_ = old;
        hadOld_ = true;
    }
    ::setenv("SSL_CERT_FILE", caFile.c_str(), 1);
}

TTrustOnly::~TTrustOnly() {
    if (hadOld_)
        ::setenv("SSL_CERT_FILE", old_.c_str(), 1);
    else
        ::unsetenv("SSL_CERT_FILE");
}

} // namespace ostrel::test
