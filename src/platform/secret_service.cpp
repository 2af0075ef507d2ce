#include "platform/secret_service.h"

#include <chrono>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <libsecret/secret.h>

#include "platform/secrets.h"

namespace ostrel {

namespace {

// How long one slice of a wait may block before the program's own events run again.
constexpr int SliceMs = 10;
// A keyring may ask the user to unlock it; give that time, but not for ever.
constexpr auto CallLimit = std::chrono::seconds(120);

const SecretSchema* Schema() {
    static const SecretSchema schema = [] {
        SecretSchema s{};
        s.name = "org.ostrel.Password";
        s.flags = SECRET_SCHEMA_NONE;
        s.attributes[0].name = "account";
        s.attributes[0].type = SECRET_SCHEMA_ATTRIBUTE_STRING;
        s.attributes[1].name = "settings";
        s.attributes[1].type = SECRET_SCHEMA_ATTRIBUTE_STRING;
        return s;
    }();
    return &schema;
}

// The program's own main context for keyring calls: their replies arrive only while this code
// waits for them, whatever loop the desktop runs.
GMainContext* KeyringContext() {
    static GMainContext* context = g_main_context_new();
    return context;
}

// Whether a session bus can be reached without starting one: asking D-Bus for a bus that is not
// there would launch a daemon on the X display and leave it running.
bool SessionBusReachable() {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address != nullptr && *address != '\0')
        return true;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || *runtime == '\0')
        return false;
    struct stat st {};
    return ::stat((std::string(runtime) + "/bus").c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

struct TCall {
    bool Done = false;
    GAsyncResult* Result = nullptr;
    ~TCall() {
        if (Result != nullptr)
            g_object_unref(Result);
    }
};

void CallDone(GObject*, GAsyncResult* result, gpointer data) {
    auto* call = static_cast<TCall*>(data);
    call->Result = G_ASYNC_RESULT(g_object_ref(result));
    call->Done = true;
}

// Runs the context for at most one slice.
void IterateOnce(GMainContext* context) {
    if (!g_main_context_acquire(context)) {
        g_usleep(SliceMs * 1000);
        return;
    }
    gint priority = 0;
    g_main_context_prepare(context, &priority);
    std::vector<GPollFD> fds(8);
    gint timeout = 0;
    for (;;) {
        const gint count = g_main_context_query(context, priority, &timeout, fds.data(), static_cast<gint>(fds.size()));
        if (count <= static_cast<gint>(fds.size())) {
            fds.resize(static_cast<std::size_t>(count));
            break;
        }
        fds.resize(static_cast<std::size_t>(count));
    }
    if (timeout < 0 || timeout > SliceMs)
        timeout = SliceMs;
    g_poll(fds.data(), static_cast<guint>(fds.size()), timeout);
    g_main_context_check(context, priority, fds.data(), static_cast<gint>(fds.size()));
    g_main_context_dispatch(context);
    g_main_context_release(context);
}

// Starts a call with the program's context as the thread's default, then waits for it, letting
// the program's events run between slices. A call that outlives the limit is cancelled.
template <typename TStart> void RunCall(TCall& call, const std::function<void()>& pump, TStart start) {
    GMainContext* context = KeyringContext();
    GCancellable* cancellable = g_cancellable_new();
    g_main_context_push_thread_default(context);
    start(cancellable);
    const auto limit = std::chrono::steady_clock::now() + CallLimit;
    while (!call.Done) {
        IterateOnce(context);
        if (call.Done)
            break;
        if (pump)
            pump();
        if (std::chrono::steady_clock::now() > limit)
            g_cancellable_cancel(cancellable);
    }
    g_main_context_pop_thread_default(context);
    g_object_unref(cancellable);
}

std::string ErrorText(GError* error) {
    std::string text = error != nullptr && error->message != nullptr ? error->message : "no reason given";
    if (error != nullptr)
        g_error_free(error);
    return text;
}

// A result that names the keyring; Error set when no session bus can be reached.
TSecretResult KeyringResult() {
    TSecretResult result;
    result.Place = TSecretPlace::Keyring;
    result.Where = "the desktop's keyring";
    if (!SessionBusReachable())
        result.Error = "No desktop keyring runs here.";
    return result;
}

} // namespace

SecretServiceStore::SecretServiceStore(std::string settingsFolder, std::function<void()> pump)
    : folder_(std::move(settingsFolder)), pump_(std::move(pump)) {}

TSecretResult SecretServiceStore::Lookup(const std::string& account) {
    TSecretResult result = KeyringResult();
    if (!result.Error.empty())
        return result;
    TCall call;
    RunCall(call, pump_, [&](GCancellable* cancellable) {
        secret_password_lookup(Schema(), cancellable, CallDone, &call, "account", account.c_str(), "settings",
                               folder_.c_str(), nullptr);
    });
    GError* error = nullptr;
    gchar* value = secret_password_lookup_finish(call.Result, &error);
    if (error != nullptr) {
        result.Error = "The desktop's keyring could not be asked: " + ErrorText(error);
        return result;
    }
    if (value != nullptr) {
        result.Ok = true;
        result.Value = value;
        secret_password_free(value);
    }
    return result;
}

TSecretResult SecretServiceStore::Store(const std::string& account, const std::string& password) {
    TSecretResult result = KeyringResult();
    if (!result.Error.empty())
        return result;
    const std::string label = "Ostrel: password of the " + account + " account";
    TCall call;
    RunCall(call, pump_, [&](GCancellable* cancellable) {
        secret_password_store(Schema(), SECRET_COLLECTION_DEFAULT, label.c_str(), password.c_str(), cancellable,
                              CallDone, &call, "account", account.c_str(), "settings", folder_.c_str(), nullptr);
    });
    GError* error = nullptr;
    const gboolean stored = secret_password_store_finish(call.Result, &error);
    if (error != nullptr || !stored) {
        result.Error = "The desktop's keyring did not keep the password: " + ErrorText(error);
        return result;
    }
    result.Ok = true;
    return result;
}

} // namespace ostrel
