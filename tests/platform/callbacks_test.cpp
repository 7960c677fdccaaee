// Executive callback objects: naming, registration, notification, removal during a call.
#include "kernel_helpers.h"

#include <atomic>
#include <vector>

using namespace kernel_test;

namespace {

NTSTATUS OpenCallback(const char16_t* name, BOOLEAN create, BOOLEAN allowMultiple, PCALLBACK_OBJECT* object,
                      ULONG extraAttributes = 0) {
    UNICODE_STRING text{static_cast<USHORT>(std::char_traits<char16_t>::length(name) * sizeof(WCHAR)),
                        static_cast<USHORT>(std::char_traits<char16_t>::length(name) * sizeof(WCHAR)),
                        const_cast<PWSTR>(name)};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE | extraAttributes, nullptr, nullptr);
    return ExCreateCallback(object, &attributes, create, allowMultiple);
}

struct Call {
    PVOID context;
    PVOID argument1;
    PVOID argument2;
};

void Record(PVOID context, PVOID argument1, PVOID argument2) {
    auto* calls = static_cast<std::vector<Call>*>(*static_cast<PVOID*>(context));
    calls->push_back({context, argument1, argument2});
}

TEST(CallbackObject, OpensByNameCaseInsensitivelyAndLivesByReferences) {
    PCALLBACK_OBJECT created = nullptr;
    PCALLBACK_OBJECT opened = nullptr;
    EXPECT_EQ(OpenCallback(u"\\Callback\\TestLifetime", FALSE, TRUE, &opened), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(OpenCallback(u"\\Callback\\TestLifetime", TRUE, TRUE, &created), STATUS_SUCCESS);
    ASSERT_EQ(OpenCallback(u"\\CALLBACK\\testlifetime", FALSE, TRUE, &opened), STATUS_SUCCESS);
    EXPECT_EQ(opened, created);
    ObDereferenceObject(opened);
    ObDereferenceObject(created);  // the last reference: the name goes with it
    EXPECT_EQ(OpenCallback(u"\\Callback\\TestLifetime", FALSE, TRUE, &opened), STATUS_OBJECT_NAME_NOT_FOUND);
}

// A permanent object keeps its name with no reference left, until it is made temporary.
TEST(CallbackObject, PermanentObjectLivesUntilMadeTemporary) {
    PCALLBACK_OBJECT created = nullptr;
    PCALLBACK_OBJECT opened = nullptr;
    ASSERT_EQ(OpenCallback(u"\\Callback\\TestPermanent", TRUE, TRUE, &created, OBJ_PERMANENT), STATUS_SUCCESS);
    ObDereferenceObject(created);
    ASSERT_EQ(OpenCallback(u"\\Callback\\TestPermanent", FALSE, TRUE, &opened), STATUS_SUCCESS);
    EXPECT_EQ(opened, created);
    ObMakeTemporaryObject(opened);
    ObMakeTemporaryObject(opened);  // already temporary: nothing
    ASSERT_EQ(OpenCallback(u"\\Callback\\TestPermanent", FALSE, TRUE, &created), STATUS_SUCCESS);
    ObDereferenceObject(created);
    ObDereferenceObject(opened);  // the last reference now takes the name
    EXPECT_EQ(OpenCallback(u"\\Callback\\TestPermanent", FALSE, TRUE, &opened), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(CallbackObject, NotifyCallsEveryRegistrationAndSingleObjectsTakeOne) {
    for (BOOLEAN allowMultiple : {TRUE, FALSE}) {
        PCALLBACK_OBJECT object = nullptr;
        ASSERT_EQ(OpenCallback(u"\\Callback\\TestNotify", TRUE, allowMultiple, &object), STATUS_SUCCESS);
        const size_t before = sim::machine::CallbackRegistrations();
        std::vector<Call> calls;
        PVOID contexts[2] = {&calls, &calls};
        PVOID first = ExRegisterCallback(object, Record, &contexts[0]);
        PVOID second = ExRegisterCallback(object, Record, &contexts[1]);
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(second != nullptr, allowMultiple == TRUE);
        int a = 0;
        ExNotifyCallback(object, &a, nullptr);
        size_t expected = allowMultiple ? 2 : 1;
        ASSERT_EQ(calls.size(), expected);
        for (size_t i = 0; i < expected; ++i) {
            EXPECT_EQ(calls[i].context, &contexts[i]);
            EXPECT_EQ(calls[i].argument1, &a);
            EXPECT_EQ(calls[i].argument2, nullptr);
        }
        EXPECT_EQ(sim::machine::CallbackRegistrations(), before + expected);
        ExUnregisterCallback(first);
        if (second != nullptr) ExUnregisterCallback(second);
        EXPECT_EQ(sim::machine::CallbackRegistrations(), before);
        ExNotifyCallback(object, &a, nullptr);
        EXPECT_EQ(calls.size(), expected);
        ObDereferenceObject(object);
    }
}

TEST(CallbackObject, NotifyWorksAtDispatchLevel) {
    PCALLBACK_OBJECT object = nullptr;
    ASSERT_EQ(OpenCallback(u"\\Callback\\TestDispatch", TRUE, TRUE, &object), STATUS_SUCCESS);
    std::vector<Call> calls;
    PVOID context = &calls;
    PVOID registration = ExRegisterCallback(object, Record, &context);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ExNotifyCallback(object, nullptr, nullptr);
    KeLowerIrql(old);
    EXPECT_EQ(calls.size(), 1u);
    ExUnregisterCallback(registration);
    ObDereferenceObject(object);
}

struct SlowCallback {
    KEVENT entered;
    std::atomic<bool> finished{false};
};

void Slow(PVOID context, PVOID, PVOID) {
    auto* s = static_cast<SlowCallback*>(context);
    KeSetEvent(&s->entered, 0, FALSE);
    Delay(100 * kMillisecond);
    s->finished = true;
}

TEST(CallbackObject, UnregisterWaitsForTheCallInFlight) {
    PCALLBACK_OBJECT object = nullptr;
    ASSERT_EQ(OpenCallback(u"\\Callback\\TestInFlight", TRUE, TRUE, &object), STATUS_SUCCESS);
    SlowCallback slow;
    KeInitializeEvent(&slow.entered, NotificationEvent, FALSE);
    PVOID registration = ExRegisterCallback(object, Slow, &slow);
    ASSERT_NE(registration, nullptr);
    PKTHREAD notifier = Start([&] { ExNotifyCallback(object, nullptr, nullptr); });
    ASSERT_EQ(Wait(&slow.entered, kSecond), STATUS_WAIT_0);
    Time before = sim::machine::Now();
    ExUnregisterCallback(registration);
    EXPECT_TRUE(slow.finished.load());
    EXPECT_EQ(sim::machine::Now() - before, 100 * kMillisecond);
    Join(notifier);
    ObDereferenceObject(object);
}

struct Removing {
    PVOID other;
    int calls = 0;
};

void RemoveOther(PVOID context, PVOID, PVOID) {
    auto* r = static_cast<Removing*>(context);
    ++r->calls;
    if (r->other != nullptr) {
        ExUnregisterCallback(r->other);
        r->other = nullptr;
    }
}

TEST(CallbackObject, ACallbackMayRemoveAnotherRegistrationOfTheSameNotify) {
    PCALLBACK_OBJECT object = nullptr;
    ASSERT_EQ(OpenCallback(u"\\Callback\\TestRemoveOther", TRUE, TRUE, &object), STATUS_SUCCESS);
    Removing first;
    Removing second;
    PVOID firstRegistration = ExRegisterCallback(object, RemoveOther, &first);
    first.other = ExRegisterCallback(object, RemoveOther, &second);
    ExNotifyCallback(object, nullptr, nullptr);  // the first removes the second before it is called
    EXPECT_EQ(first.calls, 1);
    EXPECT_EQ(second.calls, 0);
    ExUnregisterCallback(firstRegistration);
    ObDereferenceObject(object);
}

}  // namespace
