#pragma once

#include <string>
#include <string_view>

namespace ostrel {

// What a reply holds, as far as saving it goes.
struct TReplyContent {
    enum TKind {
        Page,    // a web page or text: Data holds it decoded
        File,    // a file (attachment, UU, yEnc, btoa, "begin-base64", message/partial): the
                 // receiving code takes the whole mail
        Damaged, // a page that did not decode (Problem says why); nothing to save under its name
    };
    TKind Kind = Page;
    // ".html" or ".txt".
    std::string Extension;
    // HTML in the character set it came in, with that set declared in the page when the page
    // did not declare one; text turned into UTF-8.
    std::string Data;
    std::string Problem;
};

// Reads a reply mail: the body (or the HTML part of an alternative, else its text part),
// decoded from quoted-printable or base64, its character set taken care of. A mail that
// carries a file in any of the ways the receiving code knows is a File.
TReplyContent ReadReply(std::string_view mail);

// The file name a page gets from its request: host and path, "/" and the characters no file
// name should hold turned into "_", at most 120 bytes, with extension (".html", ".txt").
// "http://example.org/news/today.html" gives "example.org_news_today.html". Without a request
// the subject names it, else "reply".
std::string PageFileName(const std::string& request, const std::string& subject, const std::string& extension);

// Bytes in the named character set turned into UTF-8; text in a set the system does not know,
// or already UTF-8, comes back unchanged.
std::string TextToUtf8(std::string_view bytes, const std::string& charset);

} // namespace ostrel
