#include "servers/composition.h"

#include "mime/message.h"
#include "servers/binary_url.h"
#include "servers/server_directory.h"
#include "util/debug_log.h"
#include "util/error.h"
#include "util/file_io.h"
#include "util/program_state.h"
#include "util/text.h"

namespace ostrel {

namespace {

constexpr char UrlMarker = '\xFE';
constexpr char SplitMarker = '\xFD';
constexpr char DirectSeparator = '\x9F';
// Some FTP-by-mail robots cut command lines; a long directory is changed into in two steps.
constexpr size_t LongDirectory = 60;

// A header field with a line break would let a request text or a data file add header lines or
// SMTP commands of its own; NUL ends the text early in too many places.
void RefuseControlBytes(const std::string& field, const std::string& value) {
    if (value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        throw EMessageError("The " + field +
                            " of the request holds a line break or a NUL character: " + "the request was not composed");
}

// Replaces each marker byte of the template by its text in one pass over the template, so that
// inserted text (a URL may hold any byte) is never scanned again.
std::string FillTemplate(const std::string& text, const std::string& url, const std::string* splitLine) {
    std::string result;
    result.reserve(text.size() + url.size());
    for (char c : text) {
        if (c == UrlMarker)
            result += url;
        else if (c == SplitMarker && splitLine)
            result += *splitLine;
        else
            result += c;
    }
    return result;
}

std::string ReadTemplate(const std::string& name) {
    return ReadFileString(LocalPath(name));
}

class TComposition {
public:
    TComposition(const std::string& request, const TServerDirectory& servers, TmsMessage& message)
        : request_(request), servers_(servers), message_(message), prefs_(ProgramState().Prefs) {}

    bool Run() {
        message_.Recipients.Clear();
        message_.BCC.Clear();
        message_.CC.Clear();
        message_.Body.clear();
        bool result = false;
        if (request_.find(DirectRequestMarker) != std::string::npos) {
            ComposeDirect();
            result = true;
        }
        // A request is one line: a line break of its own, a lone CR too, would reach the body
        // as one more FTP command or one more line of a direct request.
        RefuseControlBytes("text", request_);
        Classify();
        if (web_) {
            // Only http names files by extension; a newsgroup ("news:comp.lang.c") or a gopher
            // selector would otherwise go to the binary server for its dots.
            if (ftpThroughWeb_ || (http_ && IsBinaryUrl(request_)))
                ComposeBinary();
            else
                ComposePage();
            result = true;
        } else if (StartsWithNoCase(request_, "ftp://")) {
            ComposeFtpScript();
            result = true;
        }
        return result;
    }

private:
    void AddRecipient(const std::string& address, const char* role) {
        // A mail to nobody would be refused at every try and, queued, hold up every request
        // behind it.
        if (address.empty())
            throw EMessageError(role ? std::string("No ByMail server is chosen for ") + role +
                                           ": choose one on the Servers page (the directory lists none yet)"
                                     : std::string("The direct request names no recipient"));
        RefuseControlBytes("recipient", address);
        message_.Recipients.Add(address, "");
    }

    void SetSubject(const std::string& subject) {
        RefuseControlBytes("subject", subject);
        message_.Subject = CutAtCharacter(subject, kMaxShortText);
    }

    void AddBody(const std::string& body) {
        message_.Body.push_back(body);
        WriteDebugLog("Body: " + body);
    }

    void ComposeDirect() {
        const std::string rest = request_.substr(request_.find(DirectRequestMarker) + DirectRequestMarker.size());
        // Only a separator byte that is no part of a UTF-8 character separates ("\xC3\x9F" is a
        // sharp s).
        std::string address = rest, subject, body;
        if (auto first = FindLoneByte(rest, DirectSeparator); first != std::string::npos) {
            address = rest.substr(0, first);
            subject = rest.substr(first + 1);
            if (auto second = FindLoneByte(rest, DirectSeparator, first + 1); second != std::string::npos) {
                subject = rest.substr(first + 1, second - first - 1);
                for (std::size_t from = second + 1, at;; from = at + 1) {
                    at = FindLoneByte(rest, DirectSeparator, from);
                    body.append(rest, from, at == std::string::npos ? std::string::npos : at - from);
                    if (at == std::string::npos)
                        break;
                    body += "\r\n";
                }
            }
        }
        AddRecipient(address, nullptr);
        SetSubject(subject);
        message_.Body.push_back(body);
        WriteDebugLog("To: " + address);
        WriteDebugLog("Subject: " + subject);
        WriteDebugLog("Body: " + body);
    }

    void Classify() {
        // Today's web is https; its URLs travel exactly like http ones.
        http_ = StartsWithNoCase(request_, "http://") || StartsWithNoCase(request_, "https://");
        web_ = http_;
        if (StartsWithNoCase(request_, "ftp://")) {
            const std::string ftp = servers_.FTPServer();
            if (TServerDirectory::ReadServerKey(ftp, "ftp") == "same") {
                web_ = true;
                ftpThroughWeb_ = true;
                switch (prefs_.prefBinaryFormat) {
                case 0:
                case 2:
                    ftpTemplate_ = TServerDirectory::ReadServerKey(ftp, "fileBinaryHttpU");
                    break;
                case 1:
                    ftpTemplate_ = TServerDirectory::ReadServerKey(ftp, "fileBinaryHttpM");
                    break;
                default:
                    break;
                }
            }
        }
        if (!web_)
            web_ = StartsWithNoCase(request_, "gopher://") || StartsWithNoCase(request_, "news:");
    }

    void ComposeBinary() {
        const std::string server = ftpThroughWeb_ ? servers_.FTPServer() : servers_.BinaryServer();
        const std::string verbSplit = TServerDirectory::ReadServerKey(server, "verbSplit");
        AddRecipient(server, ftpThroughWeb_ ? "ftp:// files" : "program and other binary files");
        WriteDebugLog("To: " + server);
        SetSubject(TServerDirectory::ReadServerKey(server, "Subject"));
        WriteDebugLog("Subject: " + message_.Subject);
        const std::string splitLine = prefs_.Chunks ? verbSplit + " " + std::to_string(prefs_.ChunkSize)
                                                    : TServerDirectory::ReadServerKey(server, "NoChunk");
        const std::string& templateName = ftpThroughWeb_ ? ftpTemplate_ : servers_.Cache().BinaryTemplate;
        // The verb of the binary server serves FTP-through-web requests too: FTP records carry
        // no verb of their own. BinaryVerb ends in a blank already, hence two blanks.
        if (templateName.empty())
            AddBody(servers_.Cache().BinaryVerb + " " + request_);
        else
            AddBody(FillTemplate(ReadTemplate(templateName), request_, &splitLine));
    }

    void ComposePage() {
        const std::string server = servers_.PageServer();
        AddRecipient(server, "web pages");
        WriteDebugLog("To: " + server);
        SetSubject(TServerDirectory::ReadServerKey(server, "Subject"));
        WriteDebugLog("Subject: " + message_.Subject);
        const auto& cache = servers_.Cache();
        if (cache.PageTemplate.empty())
            AddBody(cache.PageVerb + request_);
        else
            AddBody(FillTemplate(ReadTemplate(cache.PageTemplate), request_, nullptr));
    }

    void ComposeFtpScript() {
        const std::string server = servers_.FTPServer();
        AddRecipient(server, "ftp:// files");
        WriteDebugLog("To: " + server);
        auto key = [&](const char* name) { return TServerDirectory::ReadServerKey(server, name); };

        const std::string rest = request_.substr(6);
        const auto hostEnd = rest.find('/');
        const std::string host = hostEnd == std::string::npos ? std::string() : rest.substr(0, hostEnd);
        const std::string file = request_.substr(request_.rfind('/') + 1);
        std::string directory;
        if (hostEnd != std::string::npos) {
            const auto last = rest.rfind('/');
            directory = rest.substr(hostEnd, last - hostEnd);
        }

        std::string body = key("open") + " " + host + "\r\n";
        body += key("binary") + "\r\n";
        switch (prefs_.prefBinaryFormat) {
        case 0:
            body += key("uuencode");
            break;
        case 1:
            body += key("mime");
            break;
        case 2:
            body += key("btoa");
            break;
        default:
            break;
        }
        body += "\r\n";
        if (prefs_.Chunks)
            body += key("verbSplit") + " " + std::to_string(prefs_.ChunkSize) + key("verbSplitsuffix") + "\r\n";
        else
            body += key("nosplit") + "\r\n";
        if (!directory.empty())
            body += ChangeDirectoryLines(key("cd"), directory);
        body += file.empty() ? key("ls") : "get " + file;
        body += "\r\nquit\r\n";
        AddBody(body);
    }

    static std::string ChangeDirectoryLines(const std::string& cd, const std::string& directory) {
        if (directory.size() < LongDirectory)
            return cd + " " + directory + "\r\n";
        const auto split = directory.find('/', LongDirectory - 1);
        // No "/" late enough to split at: one long line still gets the file from the right
        // place, which leaving the directory out would not.
        if (split == std::string::npos)
            return cd + " " + directory + "\r\n";
        return cd + " " + directory.substr(0, split) + "\r\n" + cd + " " + directory.substr(split + 1) + "\r\n";
    }

    const std::string& request_;
    const TServerDirectory& servers_;
    TmsMessage& message_;
    const TPrefs& prefs_;
    bool http_ = false;
    bool web_ = false;
    bool ftpThroughWeb_ = false;
    std::string ftpTemplate_;
};

} // namespace

bool ComposeRequest(const std::string& request, const std::string& sender, const TServerDirectory& servers,
                    TmsMessage& msMessage1) {
    try {
        RefuseControlBytes("sender", sender);
        msMessage1.Sender.Address = CutAtCharacter(sender, kMaxShortText);
        return TComposition(request, servers, msMessage1).Run();
    } catch (const EMessageError&) {
        // A refused request must not leave a half-made mail that a later send could pick up.
        msMessage1.Recipients.Clear();
        msMessage1.Body.clear();
        throw;
    }
}

} // namespace ostrel
