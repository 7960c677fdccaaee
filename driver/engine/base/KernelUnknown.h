// The object base of every reference-counted kernel object: CKernelUnknown owns the reference
// count and answers interface queries (the inner, non-delegating unknown); every interface the
// object hands out forwards QueryInterface, AddRef and Release to the outer unknown, which is the
// aggregating object's unknown or, when the object stands alone, its own inner unknown.
//
// How a class answers interfaces:
//
//   class Widget : public CKernelUnknown, public IWidget, public IGadget {
//   public:
//       DECLARE_KERNEL_UNKNOWN();
//       explicit Widget(PUNKNOWN UnknownOuter) : CKernelUnknown(UnknownOuter) {}
//   };
//
//   NTSTATUS Widget::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
//       const KernelInterface answers[] = {
//           {IID_Widget, static_cast<IWidget*>(this)},
//           {IID_Gadget, static_cast<IGadget*>(this)},
//       };
//       return AnswerQuery(InterfaceId, Interface, answers);
//   }
//
//   PUNKNOWN unknown;
//   NTSTATUS status = NewKernelObject<Widget>(&unknown, nullptr, ExDefaultNonPagedPoolType, 'gdiW');
//
// Objects live in pool: new (PoolType, Tag) T(...) allocates, zeroes and constructs; the last
// Release runs the destructor chain and frees the object with ExFreePool.
#pragma once

#include <win/kernel.h>
#include <win/unknown.h>

#include <cstddef>
#include <span>
#include <utility>

class INonDelegatingUnknown {
public:
    virtual NTSTATUS NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) = 0;
    virtual ULONG NonDelegatingAddRef() = 0;
    virtual ULONG NonDelegatingRelease() = 0;

protected:
    ~INonDelegatingUnknown() = default;
};
typedef INonDelegatingUnknown* PNONDELEGATINGUNKNOWN;

// One interface a class answers: its identifier and the object seen through that interface.
struct KernelInterface {
    template <class Interface>
    KernelInterface(const GUID& Id, Interface* Object) : Id(&Id), Object(Object), Unknown(Object) {}

    const GUID* Id;
    PVOID Object;      // the pointer handed out
    PUNKNOWN Unknown;  // the same interface, for the reference that goes with it
};

class CKernelUnknown : public INonDelegatingUnknown {
public:
    // UnknownOuter: the aggregating object's unknown, or null for an object of its own.
    explicit CKernelUnknown(PUNKNOWN UnknownOuter);
    virtual ~CKernelUnknown();

    CKernelUnknown(const CKernelUnknown&) = delete;
    CKernelUnknown& operator=(const CKernelUnknown&) = delete;

    // The base answers IID_IUnknown only; classes answer their interfaces with AnswerQuery.
    NTSTATUS NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) override;
    // Answers the count after the increment.
    ULONG NonDelegatingAddRef() final;
    // Answers the count after the decrement; the last release destroys the object.
    ULONG NonDelegatingRelease() final;

    PUNKNOWN GetOuterUnknown() const { return m_UnknownOuter; }
    // The inner unknown seen as IUnknown: what creators hand out and aggregating objects hold.
    PUNKNOWN GetInnerUnknown() { return &m_InnerUnknown; }

    // Zeroed pool memory with the class's tag; null when the pool is exhausted, and then no
    // constructor runs.
    static PVOID operator new(size_t Size, POOL_TYPE PoolType, ULONG Tag) noexcept;
    static void operator delete(PVOID Object) noexcept;

protected:
    // Answers the first entry of `Answers` whose identifier matches, with one reference taken
    // through that interface; IID_IUnknown, unless an entry names it, with the inner unknown.
    // Anything else answers STATUS_INVALID_PARAMETER and a null pointer.
    NTSTATUS AnswerQuery(REFIID InterfaceId, PVOID* Interface, std::span<const KernelInterface> Answers);

private:
    // IUnknown face of the non-delegating operations.
    class InnerUnknown final : public IUnknown {
    public:
        explicit InnerUnknown(CKernelUnknown* Owner) : m_Owner(Owner) {}
        NTSTATUS QueryInterface(REFIID InterfaceId, PVOID* Interface) override {
            return m_Owner->NonDelegatingQueryInterface(InterfaceId, Interface);
        }
        ULONG AddRef() override { return m_Owner->NonDelegatingAddRef(); }
        ULONG Release() override { return m_Owner->NonDelegatingRelease(); }

    private:
        CKernelUnknown* m_Owner;
    };

    InnerUnknown m_InnerUnknown;
    ULONG volatile m_RefCount;  // changed only by interlocked operations
    PUNKNOWN m_UnknownOuter;
};

// In the body of every class derived from CKernelUnknown and its interfaces: the IUnknown
// forwarders to the outer unknown and the class's own NonDelegatingQueryInterface.
#define DECLARE_KERNEL_UNKNOWN()                                                       \
    NTSTATUS QueryInterface(REFIID InterfaceId, PVOID* Interface) override {           \
        return GetOuterUnknown()->QueryInterface(InterfaceId, Interface);              \
    }                                                                                  \
    ULONG AddRef() override { return GetOuterUnknown()->AddRef(); }                    \
    ULONG Release() override { return GetOuterUnknown()->Release(); }                  \
    NTSTATUS NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) override

// Creates a T in pool and hands out its inner unknown with the caller's one reference.
// STATUS_INSUFFICIENT_RESOURCES when the pool is exhausted.
template <class T, class... Arguments>
NTSTATUS NewKernelObject(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, POOL_TYPE PoolType, ULONG Tag,
                         Arguments&&... Args) {
    if (Unknown == nullptr) return STATUS_INVALID_PARAMETER;
    *Unknown = nullptr;
    T* object = new (PoolType, Tag) T(UnknownOuter, std::forward<Arguments>(Args)...);
    if (object == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    object->NonDelegatingAddRef();
    *Unknown = object->GetInnerUnknown();
    return STATUS_SUCCESS;
}
