#pragma once

#include <bitset>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace ostrel {

// A request of the history: what was asked for and the server it went to.
struct TSentRequest {
    std::string Request; // as the history holds it (its first word)
    std::string Server;  // the server's address
};

// The history's entries as requests, newest first.
std::vector<TSentRequest> SentRequests(const std::vector<std::string>& historyEntries);

// The header fields a reply is judged by, unfolded, encoded words decoded.
struct TReplyHeaders {
    std::string From; // the address alone, lower case
    std::string Subject;
    std::string MessageId;
};
TReplyHeaders ReadReplyHeaders(std::string_view headerBlock);

// Tells replies from other mail and finds the request a reply answers.
//
// A mail is a reply when it comes from one of the servers of the directory (the same address,
// or an address of the same mail domain, since services answer from other mailboxes than the
// one that takes requests), or when its subject names a request of the history. Nothing else
// is looked at: any other mail is read no further than its headers.
//
// The request a reply answers is, in this order: the request whose URL the subject names (the
// longest one, when several do); the one whose URL the reply's text names; the one whose file
// name (the URL's last part, "setup.exe") the subject names; else the oldest request to the
// server the reply comes from that has no answer yet, as services answer in order.
class TReplyMatcher {
public:
    TReplyMatcher(std::vector<std::string> serverAddresses, std::vector<TSentRequest> history);

    bool FromServer(const TReplyHeaders& headers) const;
    bool IsReply(const TReplyHeaders& headers) const;
    // answered tells whether a request has its answer already. Empty when nothing fits.
    std::string MatchRequest(const TReplyHeaders& headers, std::string_view text,
                             const std::function<bool(const std::string&)>& answered) const;

private:
    std::string InText(std::string_view text) const;
    std::vector<std::string> servers_;
    std::vector<TSentRequest> history_;
    std::vector<std::string> stripped_;  // each request's URL without its scheme, lower case
    std::vector<std::string> fileNames_; // the file each request's URL names, lower case, or empty
    std::vector<std::string> serverDomains_;
    // The requests by the first four bytes of stripped_, and a quick filter of those bytes: a
    // reply's text is read once, whatever the length of the history.
    std::unordered_map<std::uint32_t, std::vector<std::size_t>> byStart_;
    std::bitset<65536> starts_;
};

} // namespace ostrel
