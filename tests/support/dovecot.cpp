#include "support/dovecot.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <unistd.h>

#include "support/certificates.h"

namespace ostrel::test {

namespace fs = std::filesystem;

TDovecotPeer::TDovecotPeer(const std::string& certificate) {
    const auto& certs = SharedTestCertificates();
    if (::access("/usr/sbin/dovecot", X_OK) != 0)
        throw std::runtime_error("dovecot not found: install the Debian packages dovecot-imapd and dovecot-pop3d");
    process_ = std::make_unique<TPeerProcess>(
        std::vector<std::string>{"/usr/bin/python3", OSTREL_SOURCE_DIR "/tests/support/dovecot_peer.py", dir_.Path(),
                                 certs.Cert(certificate), certs.Key(certificate)},
        "python3", dir_.File("peer.log"));
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!fs::exists(dir_.File("ports"))) {
        if (std::chrono::steady_clock::now() > end || !process_->Running())
            throw std::runtime_error("Dovecot did not start: " + ReadAll(dir_.File("peer.log")) +
                                     ReadAll(dir_.File("dovecot.log")));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::istringstream in(ReadAll(dir_.File("ports")));
    in >> ports_[0] >> ports_[1] >> ports_[2] >> ports_[3] >> uid_ >> gid_;
}

TDovecotPeer::~TDovecotPeer() {
    Stop();
}

void TDovecotPeer::Stop() {
    if (process_)
        process_->Stop();
}

std::string TDovecotPeer::Deliver(const std::string& content) {
    const std::string name =
        std::to_string(::time(nullptr)) + ".M" + std::to_string(++count_) + "P" + std::to_string(::getpid()) + ".test";
    const std::string maildir = dir_.File("home/") + User + "/Maildir/";
    const std::string tmp = maildir + "tmp/" + name;
    WriteAll(tmp, content);
    if (::chown(tmp.c_str(), uid_, gid_) != 0 && ::geteuid() == 0)
        throw std::runtime_error("cannot give the mail to the mail user");
    fs::rename(tmp, maildir + "new/" + name);
    return name;
}

std::map<std::string, std::string> TDovecotPeer::Files() const {
    std::map<std::string, std::string> files;
    const std::string maildir = dir_.File("home/") + User + "/Maildir/";
    for (const char* sub : {"new", "cur"})
        for (const auto& entry : fs::directory_iterator(maildir + sub)) {
            const std::string file = entry.path().filename().string();
            files[file.substr(0, file.find(':'))] = std::string(sub) + "/" + file;
        }
    return files;
}

std::string TDovecotPeer::Flags(const std::string& name) const {
    const auto files = Files();
    const auto it = files.find(name);
    if (it == files.end())
        return "(gone)";
    const auto colon = it->second.find(":2,");
    return colon == std::string::npos ? "" : it->second.substr(colon + 3);
}

} // namespace ostrel::test
