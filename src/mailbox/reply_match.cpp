#include "mailbox/reply_match.h"

#include <algorithm>

#include "mime/message.h"
#include "requests/request_context.h"
#include "util/text.h"

namespace ostrel {

namespace {

std::string DomainOf(const std::string& address) {
    const auto at = address.rfind('@');
    return at == std::string::npos ? std::string() : address.substr(at + 1);
}

// The URL without its scheme and without a closing "/", lower case: how a reply names it.
std::string Stripped(const std::string& request) {
    std::string url = LowerCase(RequestFromHistory(request));
    for (const char* scheme : {"http://", "https://", "ftp://", "gopher://", "news:"})
        if (url.starts_with(scheme)) {
            url.erase(0, std::char_traits<char>::length(scheme));
            break;
        }
    while (!url.empty() && url.back() == '/')
        url.pop_back();
    return url;
}

// The last part of the URL's path when it names a file ("setup.exe"), lower case.
std::string FileNameOf(const std::string& stripped) {
    std::string path = stripped.substr(0, stripped.find_first_of("?#"));
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return "";
    std::string name = path.substr(slash + 1);
    return name.find('.') != std::string::npos && name.size() >= 5 ? name : "";
}

bool IsUrlCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) ||
           std::string_view("/._~%-?=&+#:").find(c) != std::string_view::npos;
}

// Whether needle stands in text as a whole URL: not followed by more of a longer one.
bool NamesUrl(std::string_view text, const std::string& needle) {
    if (needle.size() < 4)
        return false;
    for (std::size_t at = text.find(needle); at != std::string_view::npos; at = text.find(needle, at + 1)) {
        const std::size_t after = at + needle.size();
        if (after >= text.size())
            return true;
        const char next = text[after];
        // "example.org/a" is not named by "example.org/ab"; a closing "/" or a sentence's full
        // stop may follow.
        if (!IsUrlCharacter(next) || next == '/' ||
            (next == '.' && (after + 1 >= text.size() || !IsUrlCharacter(text[after + 1]))))
            return true;
    }
    return false;
}

} // namespace

std::vector<TSentRequest> SentRequests(const std::vector<std::string>& historyEntries) {
    std::vector<TSentRequest> requests;
    for (const auto& entry : historyEntries) {
        TSentRequest r;
        r.Request = FirstWord(entry);
        if (const auto via = entry.find(" via "); via != std::string::npos)
            r.Server = LowerCase(FirstWord(entry.substr(via + 5)));
        if (!r.Request.empty())
            requests.push_back(std::move(r));
    }
    return requests;
}

TReplyHeaders ReadReplyHeaders(std::string_view headerBlock) {
    TmsHeaders headers;
    std::size_t start = 0;
    while (start < headerBlock.size()) {
        std::size_t end = headerBlock.find('\n', start);
        if (end == std::string_view::npos)
            end = headerBlock.size();
        std::string line(headerBlock.substr(start, end - start));
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            break;
        headers.Add(line);
    }
    TReplyHeaders h;
    h.From = LowerCase(Trim(ParseMailAddress(headers.FieldValue("From")).Address));
    h.Subject = headers.FieldValue("Subject");
    h.MessageId = Trim(headers.FieldValue("Message-ID"));
    return h;
}

TReplyMatcher::TReplyMatcher(std::vector<std::string> serverAddresses, std::vector<TSentRequest> history)
    : history_(std::move(history)) {
    for (auto& s : serverAddresses) {
        s = LowerCase(Trim(s));
        if (s.find('@') != std::string::npos)
            servers_.push_back(s);
    }
    for (const auto& r : history_)
        stripped_.push_back(Stripped(r.Request));
}

bool TReplyMatcher::FromServer(const TReplyHeaders& headers) const {
    const std::string domain = DomainOf(headers.From);
    if (domain.empty())
        return false;
    return std::any_of(servers_.begin(), servers_.end(), [&](const std::string& server) {
        const std::string serverDomain = DomainOf(server);
        return headers.From == server || domain == serverDomain || domain.ends_with("." + serverDomain);
    });
}

bool TReplyMatcher::IsReply(const TReplyHeaders& headers) const {
    return FromServer(headers) || !InText(LowerCase(headers.Subject)).empty();
}

std::string TReplyMatcher::InText(std::string_view text) const {
    std::string best;
    std::size_t bestLength = 0;
    for (std::size_t i = 0; i < history_.size(); ++i)
        if (stripped_[i].size() > bestLength && NamesUrl(text, stripped_[i])) {
            best = history_[i].Request;
            bestLength = stripped_[i].size();
        }
    return best;
}

std::string TReplyMatcher::MatchRequest(const TReplyHeaders& headers, std::string_view text,
                                        const std::function<bool(const std::string&)>& answered) const {
    if (history_.empty())
        return "";
    const std::string subject = LowerCase(headers.Subject);
    if (std::string found = InText(subject); !found.empty())
        return found;
    // Services quote the request near the top of their answer; a page's own links come later.
    std::string head = LowerCase(std::string(text.substr(0, 65536)));
    if (std::string found = InText(head); !found.empty())
        return found;
    for (std::size_t i = 0; i < history_.size(); ++i) {
        const std::string name = FileNameOf(stripped_[i]);
        if (!name.empty() && subject.find(name) != std::string::npos)
            return history_[i].Request;
    }
    const std::string domain = DomainOf(headers.From);
    for (std::size_t i = history_.size(); i-- > 0;) {
        const std::string serverDomain = DomainOf(history_[i].Server);
        const bool sameServer =
            history_[i].Server == headers.From ||
            (!serverDomain.empty() && (domain == serverDomain || domain.ends_with("." + serverDomain)));
        if (sameServer && !(answered && answered(history_[i].Request)))
            return history_[i].Request;
    }
    return "";
}

} // namespace ostrel
