#include "requests/request_context.h"

#include "servers/composition.h"
#include "util/text.h"

namespace ostrel {

std::string HistoryForm(const std::string& request) { return ReplaceEach(" ", request, "%20"); }

std::string RequestFromHistory(const std::string& stored) {
    // A URL is the same request with its blanks encoded; a direct request's subject and body
    // are texts, whose blanks must come back.
    if (stored.find(DirectRequestMarker) != std::string::npos)
        return ReplaceEach("%20", stored, " ");
    return stored;
}

} // namespace ostrel
