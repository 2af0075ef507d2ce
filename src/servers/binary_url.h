#pragma once

#include <string>

namespace ostrel {

constexpr const char* NonBinaryListFileName = "nbinary.ext";
constexpr const char* UserNonBinaryListFileName = "unbinary.txt";

// Whether an http URL names a file to be fetched as binary rather than a page. An extension
// that neither list of page extensions (nbinary.ext, delivered; unbinary.txt, the user's own)
// names counts as binary. Both lists are read afresh at every call, so an edited list takes
// effect at once. Never fails: missing lists are empty.
bool IsBinaryUrl(const std::string& url);

} // namespace ostrel
