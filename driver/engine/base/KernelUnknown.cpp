#include "driver/engine/base/KernelUnknown.h"

CKernelUnknown::CKernelUnknown(PUNKNOWN UnknownOuter)
    : m_InnerUnknown(this), m_RefCount(0), m_UnknownOuter(UnknownOuter != nullptr ? UnknownOuter : &m_InnerUnknown) {}

CKernelUnknown::~CKernelUnknown() = default;

NTSTATUS CKernelUnknown::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    return AnswerQuery(InterfaceId, Interface, {});
}

ULONG CKernelUnknown::NonDelegatingAddRef() { return InterlockedIncrement(&m_RefCount); }

ULONG CKernelUnknown::NonDelegatingRelease() {
    ULONG count = InterlockedDecrement(&m_RefCount);
    if (count != 0) return count;
    // References the destructor takes and drops on its own object must not start a second
    // destruction.
    InterlockedExchange(&m_RefCount, 1u);
    delete this;
    return 0;
}

NTSTATUS CKernelUnknown::AnswerQuery(REFIID InterfaceId, PVOID* Interface, std::span<const KernelInterface> Answers) {
    if (Interface == nullptr) return STATUS_INVALID_PARAMETER;
    for (const KernelInterface& answer : Answers) {
        if (IsEqualGUID(InterfaceId, *answer.Id)) {
            *Interface = answer.Object;
            answer.Unknown->AddRef();
            return STATUS_SUCCESS;
        }
    }
    if (IsEqualGUID(InterfaceId, IID_IUnknown)) {
        *Interface = &m_InnerUnknown;
        m_InnerUnknown.AddRef();
        return STATUS_SUCCESS;
    }
    *Interface = nullptr;
    return STATUS_INVALID_PARAMETER;
}

PVOID CKernelUnknown::operator new(size_t Size, POOL_TYPE PoolType, ULONG Tag) noexcept {
    PVOID object = ExAllocatePoolWithTag(PoolType, Size, Tag);
    if (object != nullptr) RtlZeroMemory(object, Size);
    return object;
}

void CKernelUnknown::operator delete(PVOID Object) noexcept { ExFreePool(Object); }
