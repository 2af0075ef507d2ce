#include "forms/application.h"

namespace ostrel {

void TApplication::Invoke(const std::string& sender, const std::function<void()>& handler) {
    if (!handler)
        return;
    try {
        handler();
    } catch (const std::exception& e) {
        if (OnException) {
            try {
                OnException(sender, e);
            } catch (...) {
                // The handler reports; a failure while reporting must not take the program down.
            }
        }
    } catch (...) {
        if (OnException) {
            try {
                OnException(sender, std::runtime_error("Unknown exception"));
            } catch (...) {
            }
        }
    }
}

TApplication& Application() {
    static TApplication app;
    return app;
}

} // namespace ostrel
