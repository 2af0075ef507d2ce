#include "platform/secret_service.h"

#include <chrono>
#include <cstdlib>
#include <dlfcn.h>
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

// libsecret and the GLib it brings are loaded at the first keyring call, not at every start: most
// runs of ostrel-cli never ask the keyring, and loading them took a quarter of its start-up time.
struct TLibSecret {
    std::string Problem; // empty once every function below is bound
    decltype(&::g_object_ref) ObjectRef = nullptr;
    decltype(&::g_object_unref) ObjectUnref = nullptr;
    decltype(&::g_main_context_new) ContextNew = nullptr;
    decltype(&::g_main_context_acquire) ContextAcquire = nullptr;
    decltype(&::g_main_context_prepare) ContextPrepare = nullptr;
    decltype(&::g_main_context_query) ContextQuery = nullptr;
    decltype(&::g_main_context_check) ContextCheck = nullptr;
    decltype(&::g_main_context_dispatch) ContextDispatch = nullptr;
    decltype(&::g_main_context_release) ContextRelease = nullptr;
    decltype(&::g_main_context_push_thread_default) PushThreadDefault = nullptr;
    decltype(&::g_main_context_pop_thread_default) PopThreadDefault = nullptr;
    decltype(&::g_usleep) Sleep = nullptr;
    decltype(&::g_poll) Poll = nullptr;
    decltype(&::g_cancellable_new) CancellableNew = nullptr;
    decltype(&::g_cancellable_cancel) CancellableCancel = nullptr;
    decltype(&::g_error_free) ErrorFree = nullptr;
    decltype(&::secret_password_lookup) PasswordLookup = nullptr;
    decltype(&::secret_password_lookup_finish) PasswordLookupFinish = nullptr;
    decltype(&::secret_password_free) PasswordFree = nullptr;
    decltype(&::secret_password_store) PasswordStore = nullptr;
    decltype(&::secret_password_store_finish) PasswordStoreFinish = nullptr;
};

template <typename F> bool Bind(void* library, const char* name, F& function) {
    function = reinterpret_cast<F>(::dlsym(library, name));
    return function != nullptr;
}

const TLibSecret& Lib() {
    static const TLibSecret lib = [] {
        TLibSecret l;
        // Never unloaded: GLib keeps threads and types of its own once started.
        void* h = ::dlopen("libsecret-1.so.0", RTLD_NOW | RTLD_LOCAL);
        if (h == nullptr) {
            const char* why = ::dlerror();
            l.Problem = std::string("libsecret could not be loaded (") + (why != nullptr ? why : "no reason given") +
                        "): install the package libsecret-1-0";
            return l;
        }
        const bool all =
            Bind(h, "g_object_ref", l.ObjectRef) && Bind(h, "g_object_unref", l.ObjectUnref) &&
            Bind(h, "g_main_context_new", l.ContextNew) && Bind(h, "g_main_context_acquire", l.ContextAcquire) &&
            Bind(h, "g_main_context_prepare", l.ContextPrepare) && Bind(h, "g_main_context_query", l.ContextQuery) &&
            Bind(h, "g_main_context_check", l.ContextCheck) && Bind(h, "g_main_context_dispatch", l.ContextDispatch) &&
            Bind(h, "g_main_context_release", l.ContextRelease) &&
            Bind(h, "g_main_context_push_thread_default", l.PushThreadDefault) &&
            Bind(h, "g_main_context_pop_thread_default", l.PopThreadDefault) && Bind(h, "g_usleep", l.Sleep) &&
            Bind(h, "g_poll", l.Poll) && Bind(h, "g_cancellable_new", l.CancellableNew) &&
            Bind(h, "g_cancellable_cancel", l.CancellableCancel) && Bind(h, "g_error_free", l.ErrorFree) &&
            Bind(h, "secret_password_lookup", l.PasswordLookup) &&
            Bind(h, "secret_password_lookup_finish", l.PasswordLookupFinish) &&
            Bind(h, "secret_password_free", l.PasswordFree) && Bind(h, "secret_password_store", l.PasswordStore) &&
            Bind(h, "secret_password_store_finish", l.PasswordStoreFinish);
        if (!all)
            l.Problem = "the libsecret found lacks functions this program needs: install the package libsecret-1-0";
        return l;
    }();
    return lib;
}

// The program's own main context for keyring calls: their replies arrive only while this code
// waits for them, whatever loop the desktop runs.
GMainContext* KeyringContext() {
    static GMainContext* context = Lib().ContextNew();
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
            Lib().ObjectUnref(Result);
    }
};

void CallDone(GObject*, GAsyncResult* result, gpointer data) {
    auto* call = static_cast<TCall*>(data);
    call->Result = static_cast<GAsyncResult*>(Lib().ObjectRef(result));
    call->Done = true;
}

// Runs the context for at most one slice.
void IterateOnce(GMainContext* context) {
    if (!Lib().ContextAcquire(context)) {
        Lib().Sleep(SliceMs * 1000);
        return;
    }
    gint priority = 0;
    Lib().ContextPrepare(context, &priority);
    std::vector<GPollFD> fds(8);
    gint timeout = 0;
    for (;;) {
        const gint count = Lib().ContextQuery(context, priority, &timeout, fds.data(), static_cast<gint>(fds.size()));
        if (count <= static_cast<gint>(fds.size())) {
            fds.resize(static_cast<std::size_t>(count));
            break;
        }
        fds.resize(static_cast<std::size_t>(count));
    }
    if (timeout < 0 || timeout > SliceMs)
        timeout = SliceMs;
    Lib().Poll(fds.data(), static_cast<guint>(fds.size()), timeout);
    Lib().ContextCheck(context, priority, fds.data(), static_cast<gint>(fds.size()));
    Lib().ContextDispatch(context);
    Lib().ContextRelease(context);
}

// Starts a call with the program's context as the thread's default, then waits for it, letting
// the program's events run between slices. A call that outlives the limit is cancelled.
template <typename TStart> void RunCall(TCall& call, const std::function<void()>& pump, TStart start) {
    GMainContext* context = KeyringContext();
    GCancellable* cancellable = Lib().CancellableNew();
    Lib().PushThreadDefault(context);
    start(cancellable);
    const auto limit = std::chrono::steady_clock::now() + CallLimit;
    while (!call.Done) {
        IterateOnce(context);
        if (call.Done)
            break;
        if (pump)
            pump();
        if (std::chrono::steady_clock::now() > limit)
            Lib().CancellableCancel(cancellable);
    }
    Lib().PopThreadDefault(context);
    Lib().ObjectUnref(cancellable);
}

std::string ErrorText(GError* error) {
    std::string text = error != nullptr && error->message != nullptr ? error->message : "no reason given";
    if (error != nullptr)
        Lib().ErrorFree(error);
    return text;
}

// A result that names the keyring; Error set when no session bus can be reached.
TSecretResult KeyringResult() {
    TSecretResult result;
    result.Place = TSecretPlace::Keyring;
    result.Where = "the desktop's keyring";
    if (!SessionBusReachable())
        result.Error = "No desktop keyring runs here.";
    else if (!Lib().Problem.empty())
        result.Error = "The desktop's keyring cannot be used: " + Lib().Problem + ".";
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
        Lib().PasswordLookup(Schema(), cancellable, CallDone, &call, "account", account.c_str(), "settings",
                               folder_.c_str(), nullptr);
    });
    GError* error = nullptr;
    gchar* value = Lib().PasswordLookupFinish(call.Result, &error);
    if (error != nullptr) {
        result.Error = "The desktop's keyring could not be asked: " + ErrorText(error);
        return result;
    }
    if (value != nullptr) {
        result.Ok = true;
        result.Value = value;
        Lib().PasswordFree(value);
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
        Lib().PasswordStore(Schema(), SECRET_COLLECTION_DEFAULT, label.c_str(), password.c_str(), cancellable,
                              CallDone, &call, "account", account.c_str(), "settings", folder_.c_str(), nullptr);
    });
    GError* error = nullptr;
    const gboolean stored = Lib().PasswordStoreFinish(call.Result, &error);
    if (error != nullptr || !stored) {
        result.Error = "The desktop's keyring did not keep the password: " + ErrorText(error);
        return result;
    }
    result.Ok = true;
    return result;
}

} // namespace ostrel
