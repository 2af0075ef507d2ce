// Received mail, whatever its bytes: both branches of the parser must end normally (an error
// report at worst), never fault or loop, and never name a file that leaves its folder.
#include <cstddef>
#include <cstdint>
#include <string>

#include "mime/message.h"
#include "mime/parser.h"

using namespace ostrel;

namespace {

void Check(const TmsMessage& message) {
    for (const auto& item : message.Attachments)
        if (item.FileName().empty() || SafeFileName(item.FileName()) != item.FileName())
            __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    // As the input comes (MIME when it says so), then as the wizard and updates hand it over
    // (always the UU branch), then as a MIME body under a multipart header.
    for (const std::string& prefix :
         {std::string(), std::string("PseudoHeader: x\r\n\r\n"),
          std::string("MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n")}) {
        TmsMessage message;
        ParseMessage(message, prefix + text);
        Check(message);
    }

    TLineStream reader(text);
    std::size_t total = 0, lines = 0;
    for (;;) {
        std::string_view line = reader.NextLine();
        if (reader.Eof())
            break;
        total += line.size();
        if (++lines > size + 1)
            __builtin_trap(); // more lines than bytes: the reader is not advancing
    }
    if (total > size)
        __builtin_trap();
    return 0;
}
