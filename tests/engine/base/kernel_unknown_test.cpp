// The object base: interface queries, reference counting, destruction and aggregation.
#include "driver/engine/base/KernelUnknown.h"

#include <gtest/gtest.h>
#include <sim/pool.h>

namespace {

constexpr ULONG kWidgetTag = 'gdiW';

DEFINE_GUID(IID_Widget, 0x11111111, 0x2222, 0x3333, 0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55);
DEFINE_GUID(IID_Gadget, 0x11111111, 0x2222, 0x3333, 0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x56);
DEFINE_GUID(IID_Missing, 0x11111111, 0x2222, 0x3333, 0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x57);

class IWidget : public IUnknown {
public:
    virtual int Spin() = 0;
};

class IGadget : public IUnknown {
public:
    virtual int Click() = 0;
};

int g_destroyed;

class Widget : public CKernelUnknown, public IWidget, public IGadget {
public:
    DECLARE_KERNEL_UNKNOWN();
    Widget(PUNKNOWN UnknownOuter, bool touchSelfInDestructor)
        : CKernelUnknown(UnknownOuter), m_TouchSelf(touchSelfInDestructor) {}
    ~Widget() override {
        ++g_destroyed;
        if (m_TouchSelf) {
            // Teardown code that hands itself to helpers, which take and drop references.
            AddRef();
            PVOID gadget = nullptr;
            QueryInterface(IID_Gadget, &gadget);
            static_cast<IGadget*>(gadget)->Release();
            Release();
        }
    }
    int Spin() override { return 1; }
    int Click() override { return 2; }

    bool m_TouchSelf;
    ULONG m_Untouched[4];  // not set by the constructor: zero because creation zeroes the object
};

NTSTATUS Widget::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    const KernelInterface answers[] = {
        {IID_Widget, static_cast<IWidget*>(this)},
        {IID_Gadget, static_cast<IGadget*>(this)},
    };
    return AnswerQuery(InterfaceId, Interface, answers);
}

// Counts what reaches an aggregating object and answers queries with a marker.
class Outer : public IUnknown {
public:
    NTSTATUS QueryInterface(REFIID, PVOID* Interface) override {
        ++queries;
        *Interface = this;
        return STATUS_SUCCESS;
    }
    ULONG AddRef() override { return ++references; }
    ULONG Release() override { return --references; }
    int queries = 0;
    ULONG references = 1;
};

class KernelUnknownTest : public testing::Test {
protected:
    void SetUp() override { g_destroyed = 0; }

    Widget* Create(PUNKNOWN outer = nullptr, bool touchSelf = false) {
        PUNKNOWN inner = nullptr;
        EXPECT_EQ(NewKernelObject<Widget>(&inner, outer, NonPagedPoolNx, kWidgetTag, touchSelf), STATUS_SUCCESS);
        m_Inner = inner;
        // The inner unknown answers IGadget; that pointer leads back to the object.
        PVOID gadget = nullptr;
        EXPECT_EQ(inner->QueryInterface(IID_Gadget, &gadget), STATUS_SUCCESS);
        auto* widget = static_cast<Widget*>(static_cast<IGadget*>(gadget));
        static_cast<IGadget*>(gadget)->Release();
        return widget;
    }

    PUNKNOWN m_Inner = nullptr;
};

TEST_F(KernelUnknownTest, QueriesAnswerEachInterfaceWithOneReferenceAndMissesWithNull) {
    Widget* w = Create();
    struct Case {
        const GUID* id;
        NTSTATUS status;
        PVOID expected;
    };
    const Case cases[] = {
        {&IID_IUnknown, STATUS_SUCCESS, m_Inner},
        {&IID_Widget, STATUS_SUCCESS, static_cast<IWidget*>(w)},
        {&IID_Gadget, STATUS_SUCCESS, static_cast<IGadget*>(w)},
        {&IID_Missing, STATUS_INVALID_PARAMETER, nullptr},
    };
    for (const Case& c : cases) {
        PVOID answer = reinterpret_cast<PVOID>(0x1);
        EXPECT_EQ(w->NonDelegatingQueryInterface(*c.id, &answer), c.status);
        EXPECT_EQ(answer, c.expected);
        // A hit took exactly one reference: the count is now 2.
        const ULONG expectedCount = c.status == STATUS_SUCCESS ? 2 : 1;
        EXPECT_EQ(w->NonDelegatingAddRef(), expectedCount + 1);
        w->NonDelegatingRelease();
        if (c.status == STATUS_SUCCESS) static_cast<IUnknown*>(m_Inner)->Release();
    }
    EXPECT_EQ(w->NonDelegatingQueryInterface(IID_Widget, nullptr), STATUS_INVALID_PARAMETER);
    // Any interface reaches the same identity and the same count.
    PVOID unknown = nullptr;
    static_cast<IGadget*>(w)->QueryInterface(IID_IUnknown, &unknown);
    EXPECT_EQ(unknown, m_Inner);
    EXPECT_EQ(static_cast<IWidget*>(w)->Release(), 1u);
    EXPECT_EQ(m_Inner->Release(), 0u);
    EXPECT_EQ(g_destroyed, 1);
}

TEST_F(KernelUnknownTest, LastReleaseDestroysOnceAndFreesThePool) {
    for (bool touchSelf : {false, true}) {
        SCOPED_TRACE(touchSelf);
        g_destroyed = 0;
        Widget* w = Create(nullptr, touchSelf);
        EXPECT_EQ(sim::pool::TagUsage(kWidgetTag).blocks, 1u);
        EXPECT_EQ(w->m_Untouched[0] | w->m_Untouched[3], 0u);
        EXPECT_EQ(static_cast<IWidget*>(w)->AddRef(), 2u);
        EXPECT_EQ(static_cast<IGadget*>(w)->Release(), 1u);
        EXPECT_EQ(g_destroyed, 0);
        EXPECT_EQ(m_Inner->Release(), 0u);
        EXPECT_EQ(g_destroyed, 1);
        EXPECT_EQ(sim::pool::TagUsage(kWidgetTag).blocks, 0u);
    }
}

TEST_F(KernelUnknownTest, AggregatedObjectForwardsItsInterfacesToTheOuterUnknown) {
    Outer outer;
    Widget* w = Create(&outer);
    EXPECT_EQ(w->GetOuterUnknown(), &outer);

    // Through an interface: everything reaches the outer object, the inner count stays 1.
    IWidget* widget = w;
    widget->AddRef();
    widget->AddRef();
    widget->Release();
    EXPECT_EQ(outer.references, 2u);
    PVOID answer = nullptr;
    EXPECT_EQ(widget->QueryInterface(IID_Gadget, &answer), STATUS_SUCCESS);
    EXPECT_EQ(answer, &outer);
    EXPECT_EQ(outer.queries, 1);

    // The inner unknown answers for the object itself; the reference that goes with an
    // interface is the outer object's.
    EXPECT_EQ(m_Inner->QueryInterface(IID_Gadget, &answer), STATUS_SUCCESS);
    EXPECT_EQ(answer, static_cast<IGadget*>(w));
    EXPECT_EQ(outer.references, 3u);
    EXPECT_EQ(w->NonDelegatingAddRef(), 2u);
    EXPECT_EQ(w->NonDelegatingRelease(), 1u);

    EXPECT_EQ(m_Inner->Release(), 0u);
    EXPECT_EQ(g_destroyed, 1);
}

TEST_F(KernelUnknownTest, CreationUnderPoolExhaustionFailsWithoutConstructing) {
    sim::pool::FailAllocationsWithTag(kWidgetTag);
    PUNKNOWN unknown = reinterpret_cast<PUNKNOWN>(0x1);
    EXPECT_EQ(NewKernelObject<Widget>(&unknown, nullptr, NonPagedPoolNx, kWidgetTag, false),
              STATUS_INSUFFICIENT_RESOURCES);
    sim::pool::DisarmFaults();
    EXPECT_EQ(unknown, nullptr);
    EXPECT_EQ(g_destroyed, 0);
    EXPECT_EQ(NewKernelObject<Widget>(nullptr, nullptr, NonPagedPoolNx, kWidgetTag, false), STATUS_INVALID_PARAMETER);
}

}  // namespace
