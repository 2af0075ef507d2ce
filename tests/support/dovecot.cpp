#include "support/dovecot.h"

#include <algorithm>
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

TDovecotPeer::TDovecotPeer(const std::string& certificate, bool rawlog) {
    const auto& certs = SharedTestCertificates();
    if (::access("/usr/sbin/dovecot", X_OK) != 0)
        throw std::runtime_error("dovecot not found: install the Debian packages dovecot-imapd and dovecot-pop3d");
    std::vector<std::string> argv{"/usr/bin/python3", OSTREL_SOURCE_DIR "/tests/support/dovecot_peer.py", dir_.Path(),
                                  certs.Cert(certificate), certs.Key(certificate)};
    if (rawlog)
        argv.push_back("rawlog");
    process_ = std::make_unique<TPeerProcess>(argv, "python3", dir_.File("peer.log"));
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

std::map<std::string, std::uint32_t> TDovecotPeer::Uids() const {
    // dovecot-uidlist: a header line, then "UID [fields] :NAME" for each mail.
    std::map<std::string, std::uint32_t> uids;
    std::istringstream in(ReadAll(dir_.File("home/") + User + "/Maildir/dovecot-uidlist"));
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        const auto name = line.find(" :");
        if (name == std::string::npos)
            continue;
        const std::string file = line.substr(name + 2);
        uids[file.substr(0, file.find(':'))] = static_cast<std::uint32_t>(std::stoul(line));
    }
    return uids;
}

std::vector<std::string> TDovecotPeer::ImapSessions(std::size_t ended) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        std::vector<std::string> sessions = ReadImapSessions();
        const auto out = std::count_if(sessions.begin(), sessions.end(), [](const std::string& s) {
            return s.find(" LOGOUT\n") != std::string::npos || s.find(" logout\n") != std::string::npos;
        });
        if (static_cast<std::size_t>(out) >= ended || std::chrono::steady_clock::now() > end)
            return sessions;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::vector<std::string> TDovecotPeer::ReadImapSessions() const {
    // One NAME.in per session; each line starts with the time it came, which orders the
    // sessions and is dropped.
    std::vector<std::pair<double, std::string>> sessions;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir_.File("rawlog"), ec)) {
        if (entry.path().extension() != ".in")
            continue;
        std::istringstream in(ReadAll(entry.path().string()));
        std::string line, commands;
        double first = -1;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            const auto space = line.find(' ');
            if (space == std::string::npos || space == 0)
                continue;
            if (first < 0)
                first = std::stod(line.substr(0, space));
            commands += line.substr(space + 1) + "\n";
        }
        sessions.emplace_back(first, commands);
    }
    std::sort(sessions.begin(), sessions.end());
    std::vector<std::string> result;
    for (auto& s : sessions)
        result.push_back(std::move(s.second));
    return result;
}

} // namespace ostrel::test
