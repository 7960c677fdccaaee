// Internal object manager of the simulated kernel: every referenced object (threads, events seen
// through handles, registry keys, files, callback objects, file objects) is allocated here with
// a header in front of its body, so ObDereferenceObject and handles work on any of them.
#pragma once

#include <win/kernel.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sim::ob {

struct ObjectTypeInfo {
    const char* name;
    // Called once when the last reference goes, before the memory is released.
    void (*destroy)(void* body);
    // Called (in the closing thread's context) when the object's last handle is closed, while the
    // handle's reference is still held; null when the type does nothing then.
    void (*lastHandleClosed)(void* body) = nullptr;
};

// Creates an object with one reference held by the caller. The body is zeroed and aligned to 16.
void* CreateObject(POBJECT_TYPE type, size_t bodySize);
// Wraps an object whose body lives elsewhere (a driver's embedded KEVENT): no memory is owned.
POBJECT_TYPE TypeOf(const void* body);
bool IsObject(const void* body);
LONG_PTR ReferenceCount(const void* body);
// Adds a reference unless the last one is already gone (the object is being destroyed); for
// lookups through a table that holds no reference of its own (named objects).
bool TryReference(void* body);

// Permanent objects (OBJ_PERMANENT): the object manager holds a reference of its own until
// ObMakeTemporaryObject, so the object and its name outlive every other reference. Name and
// Creator (the code that asked for it) name the object in the unload report.
void MakePermanent(void* body, std::u16string_view name, const void* creator);
// The serial the next permanent object gets.
uint64_t PermanentSerial();
// Objects made permanent with a serial from Since on that still are; Listing gets " <name> (created
// by <code>)" for each.
size_t PermanentObjectsSince(uint64_t since, std::string* listing);

// Handle tables. The kernel's table is table 0; user processes get tables of their own, whose
// handle values do not overlap (a handle of one process is invalid in every other) and fit in 32
// bits (a 32-bit process sees them whole).
using HandleTableId = int;
constexpr HandleTableId kKernelTable = 0;
HandleTableId CreateHandleTable();
// Closes every handle left in the table, in the calling thread's context, and deletes it;
// returns how many were left open.
size_t DestroyHandleTable(HandleTableId table);
// Inserts a handle that holds one new reference to the object and grants access.
HANDLE InsertHandle(HandleTableId table, void* body, ACCESS_MASK access = GENERIC_ALL);
// Looks a handle up; on success the object gets one reference for the caller and *granted (if
// given) receives the handle's access.
NTSTATUS ReferenceByHandle(HandleTableId table, HANDLE handle, POBJECT_TYPE type, void** body,
                           ACCESS_MASK* granted = nullptr);
// Whether the handle value belongs to the kernel's table.
bool IsKernelHandle(HANDLE handle);
NTSTATUS CloseHandle(HandleTableId table, HANDLE handle);
size_t OpenHandleCount(HandleTableId table);

// Table used by the calling thread for handles it creates and names (the process it runs in).
HandleTableId CurrentHandleTable();
void SetCurrentHandleTable(HandleTableId table);

}  // namespace sim::ob

// Object types are defined with a name and a destroy routine.
struct _OBJECT_TYPE {
    sim::ob::ObjectTypeInfo info;
};
