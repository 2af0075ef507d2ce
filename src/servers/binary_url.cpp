#include "servers/binary_url.h"

#include "util/file_io.h"
#include "util/program_state.h"
#include "util/text.h"

namespace ostrel {

namespace {

// The lists are hints, never a reason to refuse a request: an unreadable one counts as empty.
std::string ReadList(const std::string& name) {
    try {
        return ReadFileString(LocalPath(name));
    } catch (const std::exception&) {
        return {};
    }
}

} // namespace

bool IsBinaryUrl(const std::string& url) {
    if (!url.empty() && url.back() == '/')
        return false;
    std::string candidate = url;
    std::string ext = UrlExtension(candidate);
    // A long or one-letter "extension" usually comes from a dot in the query string
    // ("page.php?id=3.1"): decide on the path alone then.
    if (ext.size() > 4 || ext.size() < 2) {
        const auto query = candidate.find('?');
        if (query != std::string::npos)
            candidate.erase(query);
    }
    ext = UrlExtension(candidate);
    // The last dot lies in the host or in a folder name: no file extension at all.
    if (ext.find('/') != std::string::npos)
        return false;
    // A list line covers every extension it begins with ("html" covers "htm"), and the empty
    // extension always matches.
    const std::string lists = "\n" + ReadList(NonBinaryListFileName) + "\n" + ReadList(UserNonBinaryListFileName);
    return lists.find("\n" + LowerCase(ext)) == std::string::npos;
}

} // namespace ostrel
