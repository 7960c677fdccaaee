// Executive callback objects: named (case-insensitive) objects with registrations that
// ExNotifyCallback calls synchronously in the notifier's thread.
#include "object_manager.h"
#include "scheduler_core.h"

#include <sim/verifier.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace {

struct Registration {
    PCALLBACK_OBJECT owner;
    PCALLBACK_FUNCTION function;
    PVOID context;
    // Guarded by the owner's lock.
    int executing = 0;     // calls running now
    int pinned = 0;        // notifiers holding this pointer
    bool removed = false;  // ExUnregisterCallback started
    bool released = false; // ExUnregisterCallback done: whoever unpins last frees it
    KEVENT idle{};         // set when removed and no call runs any more
};

}  // namespace

struct _CALLBACK_OBJECT {
    std::mutex lock;
    bool allowMultiple = false;
    bool named = false;
    std::u16string name;  // upper case
    std::vector<Registration*> registrations;
};

namespace {

std::mutex g_namesLock;
std::map<std::u16string, PCALLBACK_OBJECT>& Names() {
    static auto* names = new std::map<std::u16string, PCALLBACK_OBJECT>();  // lives as long as the process
    return *names;
}
std::atomic<size_t> g_registrations{0};

// Registrations this thread is calling now, innermost last.
constexpr int kMaxNesting = 16;
thread_local Registration* t_calling[kMaxNesting];
thread_local int t_callingDepth = 0;

void DestroyCallbackObject(void* body) {
    auto* object = static_cast<PCALLBACK_OBJECT>(body);
    if (object->named) {
        std::lock_guard<std::mutex> guard(g_namesLock);
        auto it = Names().find(object->name);
        if (it != Names().end() && it->second == object) Names().erase(it);
    }
    object->~_CALLBACK_OBJECT();
}

_OBJECT_TYPE g_callbackType{{.name = "Callback", .destroy = DestroyCallbackObject}};
POBJECT_TYPE g_callbackTypePointer = &g_callbackType;

PCALLBACK_OBJECT CheckedObject(PVOID object, const char* routine) {
    if (object == nullptr || !sim::ob::IsObject(object) || sim::ob::TypeOf(object) != g_callbackTypePointer) {
        sim::BugCheck("INVALID_PARAMETER", "%s on %p, which is not a callback object", routine, object);
    }
    return static_cast<PCALLBACK_OBJECT>(object);
}

std::u16string UpperCase(PCUNICODE_STRING name) {
    std::u16string text(name->Buffer, name->Length / sizeof(WCHAR));
    for (char16_t& c : text) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    }
    return text;
}

PCALLBACK_OBJECT NewCallbackObject(bool allowMultiple) {
    void* body = sim::ob::CreateObject(g_callbackTypePointer, sizeof(_CALLBACK_OBJECT));
    if (body == nullptr) return nullptr;
    auto* object = new (body) _CALLBACK_OBJECT();
    object->allowMultiple = allowMultiple;
    return object;
}

// Drops a notifier's pin; frees the registration when it was the last holder after unregistering.
void Unpin(Registration* registration) {
    bool free;
    {
        std::lock_guard<std::mutex> guard(registration->owner->lock);
        free = --registration->pinned == 0 && registration->released;
    }
    if (free) delete registration;
}

}  // namespace

extern "C" {
POBJECT_TYPE* ExCallbackObjectType = &g_callbackTypePointer;
}

KV_EXTERN_C NTSTATUS ExCreateCallback(PCALLBACK_OBJECT* CallbackObject, POBJECT_ATTRIBUTES ObjectAttributes,
                                      BOOLEAN Create, BOOLEAN AllowMultipleCallbacks) {
    PAGED_CODE();
    if (CallbackObject == nullptr || ObjectAttributes == nullptr) return STATUS_INVALID_PARAMETER;
    *CallbackObject = nullptr;
    PCUNICODE_STRING name = ObjectAttributes->ObjectName;
    if (name == nullptr || name->Length == 0) {
        if (!Create) return STATUS_INVALID_PARAMETER;
        PCALLBACK_OBJECT object = NewCallbackObject(AllowMultipleCallbacks != FALSE);
        if (object == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        *CallbackObject = object;
        return STATUS_SUCCESS;
    }
    if (name->Buffer == nullptr || name->Length % sizeof(WCHAR) != 0 || name->Length > name->MaximumLength) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::u16string key = UpperCase(name);
    std::lock_guard<std::mutex> guard(g_namesLock);
    auto it = Names().find(key);
    if (it != Names().end() && sim::ob::TryReference(it->second)) {
        *CallbackObject = it->second;
        return STATUS_SUCCESS;
    }
    // Absent, or its last reference is going: a new object takes the name.
    if (!Create) return STATUS_OBJECT_NAME_NOT_FOUND;
    PCALLBACK_OBJECT object = NewCallbackObject(AllowMultipleCallbacks != FALSE);
    if (object == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    object->named = true;
    object->name = key;
    Names()[key] = object;
    // A permanent object keeps its name until ObMakeTemporaryObject, whoever lets go of it.
    if ((ObjectAttributes->Attributes & OBJ_PERMANENT) != 0) {
        sim::ob::MakePermanent(object, std::u16string_view(name->Buffer, name->Length / sizeof(WCHAR)),
                               __builtin_return_address(0));
    }
    *CallbackObject = object;
    return STATUS_SUCCESS;
}

KV_EXTERN_C PVOID ExRegisterCallback(PCALLBACK_OBJECT CallbackObject, PCALLBACK_FUNCTION CallbackFunction,
                                     PVOID CallbackContext) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "ExRegisterCallback at IRQL %u", KeGetCurrentIrql());
    }
    PCALLBACK_OBJECT object = CheckedObject(CallbackObject, "ExRegisterCallback");
    if (CallbackFunction == nullptr) return nullptr;
    auto* registration = new (std::nothrow) Registration{.owner = object, .function = CallbackFunction,
                                                         .context = CallbackContext};
    if (registration == nullptr) return nullptr;
    KeInitializeEvent(&registration->idle, NotificationEvent, FALSE);
    {
        std::lock_guard<std::mutex> guard(object->lock);
        if (!object->allowMultiple && !object->registrations.empty()) {
            delete registration;
            return nullptr;
        }
        object->registrations.push_back(registration);
    }
    ObReferenceObject(object);  // held by the registration
    g_registrations.fetch_add(1);
    return registration;
}

KV_EXTERN_C VOID ExUnregisterCallback(PVOID CallbackRegistration) {
    if (KeGetCurrentIrql() > APC_LEVEL) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "ExUnregisterCallback at IRQL %u", KeGetCurrentIrql());
    }
    if (CallbackRegistration == nullptr) sim::BugCheck("INVALID_PARAMETER", "ExUnregisterCallback of a null registration");
    auto* registration = static_cast<Registration*>(CallbackRegistration);
    for (int i = 0; i < t_callingDepth; ++i) {
        if (t_calling[i] == registration) {
            sim::BugCheck("CALLBACK_UNREGISTER_FROM_ITSELF",
                          "ExUnregisterCallback of registration %p from inside its own callback: it would wait for "
                          "itself to return",
                          CallbackRegistration);
        }
    }
    PCALLBACK_OBJECT object = registration->owner;
    bool mustWait;
    {
        std::lock_guard<std::mutex> guard(object->lock);
        auto it = std::find(object->registrations.begin(), object->registrations.end(), registration);
        if (it == object->registrations.end() || registration->removed) {
            sim::BugCheck("INVALID_PARAMETER", "ExUnregisterCallback of %p, which is not registered", CallbackRegistration);
        }
        object->registrations.erase(it);
        registration->removed = true;
        mustWait = registration->executing > 0;
    }
    if (mustWait) KeWaitForSingleObject(&registration->idle, Executive, KernelMode, FALSE, nullptr);
    bool free;
    {
        std::lock_guard<std::mutex> guard(object->lock);
        registration->released = true;
        free = registration->pinned == 0;
    }
    if (free) delete registration;
    g_registrations.fetch_sub(1);
    ObDereferenceObject(object);
}

KV_EXTERN_C VOID ExNotifyCallback(PVOID CallbackObject, PVOID Argument1, PVOID Argument2) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "ExNotifyCallback at IRQL %u", KeGetCurrentIrql());
    }
    PCALLBACK_OBJECT object = CheckedObject(CallbackObject, "ExNotifyCallback");
    std::vector<Registration*> targets;
    {
        std::lock_guard<std::mutex> guard(object->lock);
        targets = object->registrations;
        for (Registration* r : targets) ++r->pinned;
    }
    for (Registration* r : targets) {
        bool call;
        {
            std::lock_guard<std::mutex> guard(object->lock);
            call = !r->removed;  // unregistered meanwhile (possibly by an earlier callback): skip
            if (call) ++r->executing;
        }
        if (call) {
            if (t_callingDepth == kMaxNesting) sim::BugCheck("INVALID_PARAMETER", "callbacks nested too deeply");
            t_calling[t_callingDepth++] = r;
            r->function(r->context, Argument1, Argument2);
            --t_callingDepth;
            bool lastOfRemoved;
            {
                std::lock_guard<std::mutex> guard(object->lock);
                lastOfRemoved = --r->executing == 0 && r->removed;
            }
            if (lastOfRemoved) KeSetEvent(&r->idle, 0, FALSE);
        }
        Unpin(r);
    }
}

namespace sim::machine {

size_t CallbackRegistrations() { return g_registrations.load(); }

}  // namespace sim::machine
