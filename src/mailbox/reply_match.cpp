#include "mailbox/reply_match.h"

#include <algorithm>
#include <cstring>

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

// Whether a URL found in text ends at after: not followed by more of a longer one.
bool EndsUrl(std::string_view text, std::size_t after) {
    if (after >= text.size())
        return true;
    const char next = text[after];
    // "example.org/a" is not named by "example.org/ab"; a closing "/" or a sentence's full
    // stop may follow.
    return !IsUrlCharacter(next) || next == '/' ||
           (next == '.' && (after + 1 >= text.size() || !IsUrlCharacter(text[after + 1])));
}

// "mail.example.org" of "example.org".
bool SubDomainOf(const std::string& domain, const std::string& parent) {
    return domain.size() > parent.size() && domain.ends_with(parent) &&
           domain[domain.size() - parent.size() - 1] == '.';
}

// URLs shorter than this are not looked for: they would be found in any text.
constexpr std::size_t kShortestUrl = 4;

std::uint32_t StartOf(const char* at) {
    std::uint32_t key;
    std::memcpy(&key, at, sizeof key);
    return key;
}

std::size_t FilterSlot(std::uint32_t key) {
    return (key * 2654435761u) >> 16;
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
    for (const auto& r : history_) {
        stripped_.push_back(Stripped(r.Request));
        fileNames_.push_back(FileNameOf(stripped_.back()));
        serverDomains_.push_back(DomainOf(r.Server));
    }
    for (std::size_t i = 0; i < stripped_.size(); ++i)
        if (stripped_[i].size() >= kShortestUrl) {
            const std::uint32_t key = StartOf(stripped_[i].data());
            byStart_[key].push_back(i);
            starts_.set(FilterSlot(key));
        }
}

bool TReplyMatcher::FromServer(const TReplyHeaders& headers) const {
    const std::string domain = DomainOf(headers.From);
    if (domain.empty())
        return false;
    return std::any_of(servers_.begin(), servers_.end(), [&](const std::string& server) {
        const std::string serverDomain = DomainOf(server);
        return headers.From == server || domain == serverDomain || SubDomainOf(domain, serverDomain);
    });
}

bool TReplyMatcher::IsReply(const TReplyHeaders& headers) const {
    return FromServer(headers) || !InText(LowerCase(headers.Subject)).empty();
}

// The longest URL of the history that text names; of equal ones, the first in the history.
std::string TReplyMatcher::InText(std::string_view text) const {
    std::size_t best = history_.size();
    for (std::size_t at = 0; at + kShortestUrl <= text.size(); ++at) {
        const std::uint32_t key = StartOf(text.data() + at);
        if (!starts_.test(FilterSlot(key)))
            continue;
        const auto found = byStart_.find(key);
        if (found == byStart_.end())
            continue;
        for (const std::size_t i : found->second) {
            const std::string& url = stripped_[i];
            const bool better = best == history_.size() || url.size() > stripped_[best].size() ||
                                (url.size() == stripped_[best].size() && i < best);
            if (better && text.substr(at, url.size()) == url && EndsUrl(text, at + url.size()))
                best = i;
        }
    }
    return best == history_.size() ? std::string() : history_[best].Request;
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
    for (std::size_t i = 0; i < history_.size(); ++i)
        if (!fileNames_[i].empty() && subject.find(fileNames_[i]) != std::string::npos)
            return history_[i].Request;
    const std::string domain = DomainOf(headers.From);
    for (std::size_t i = history_.size(); i-- > 0;) {
        const std::string& serverDomain = serverDomains_[i];
        const bool sameServer =
            history_[i].Server == headers.From ||
            (!serverDomain.empty() && (domain == serverDomain || SubDomainOf(domain, serverDomain)));
        if (sameServer && !(answered && answered(history_[i].Request)))
            return history_[i].Request;
    }
    return "";
}

} // namespace ostrel
