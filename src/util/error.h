#pragma once

#include <stdexcept>
#include <string>

namespace ostrel {

// Base of every exception the program raises on purpose; carries the message shown to the user.
class EOstrelError : public std::runtime_error {
public:
    explicit EOstrelError(const std::string& message) : std::runtime_error(message) {}
    // Class name, for reports.
    virtual const char* ClassName() const { return "EOstrelError"; }
};

#define OSTREL_ERROR_CLASS(Name, Base)                                                                                 \
    class Name : public Base {                                                                                         \
    public:                                                                                                            \
        using Base::Base;                                                                                              \
        const char* ClassName() const override { return #Name; }                                                       \
    }

// A file could not be opened, read or written.
OSTREL_ERROR_CLASS(EInOutError, EOstrelError);
// Settings could not be written ("Unable to write to %s").
OSTREL_ERROR_CLASS(EIniFileError, EOstrelError);
// Socket layer failures; the message may be changed by an OnError handler.
OSTREL_ERROR_CLASS(ESocketError, EOstrelError);
OSTREL_ERROR_CLASS(ETimedOutError, ESocketError);
OSTREL_ERROR_CLASS(ECanceledError, ESocketError);
// Kept for the name the rest of the program knows; the socket library is always there here.
OSTREL_ERROR_CLASS(EWinsockDLLError, ESocketError);
// A mail message is not fit to send, or an SMTP exchange failed.
OSTREL_ERROR_CLASS(EMessageError, EOstrelError);
OSTREL_ERROR_CLASS(EMessageParserError, EOstrelError);

} // namespace ostrel
