#pragma once

#include <exception>
#include <stdexcept>
#include <functional>
#include <string>

namespace ostrel {

// The application object: its title (the caption of message boxes) and the handler that
// receives every exception a desktop event handler lets escape.
class TApplication {
public:
    std::string Title = "Ostrel";
    std::string HelpFile;
    bool Terminated = false;

    // sender: class name of the object whose handler raised.
    std::function<void(const std::string& sender, const std::exception& e)> OnException;

    // Runs an event handler so that nothing escapes into the desktop: an exception goes to
    // OnException (or is dropped quietly when none is installed yet).
    void Invoke(const std::string& sender, const std::function<void()>& handler);
};

TApplication& Application();

} // namespace ostrel
