// Header texts from received mail: address parsing, header look-ups and encoded words must
// never fault or loop, whatever the bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "mime/message.h"
#include "util/error.h"

using namespace ostrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    (void)ParseMailAddress(text);
    const std::string decoded = DecodeEncodedWords(text);
    (void)EncodeHeaderText(text);
    if (DecodeEncodedWords(EncodeHeaderText(text)) != text && text.find("=?") == std::string::npos &&
        text.find_first_of("\r\n") == std::string::npos)
        __builtin_trap(); // our own encoded words must read back as the text they carry

    TmsHeaders headers;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        headers.Add(text.substr(pos, end - pos));
        pos = end + 1;
    }
    TmsMessage message;
    message.ApplyHeaders(headers);
    (void)headers.FieldValue("Content-Type");
    (void)headers.FieldItems("Bcc");
    while (headers.RemoveField("To")) {
    }
    try {
        message.Validate();
    } catch (const EMessageError&) {
    }
    return 0;
}
