// Work items: routines queued from any IRQL up to DISPATCH_LEVEL run at PASSIVE_LEVEL on the
// system's worker threads. A queued item keeps its device object referenced. Workers are started
// on demand, so one work item that waits for another does not deadlock the machine.
#include "io_manager.h"
#include <sim/pool.h>
#include "scheduler.h"
#include "symbols.h"

#include <sim/verifier.h>

#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

struct _IO_WORKITEM {
    PDEVICE_OBJECT DeviceObject;
    PIO_WORKITEM_ROUTINE Routine;
    PVOID Context;
    const void* Module;  // module of the code that allocated it
    bool Queued;
};

namespace sim::io {
namespace {

constexpr int kMaxWorkers = 8;

// A driver's work item, or platform work when item is null.
struct QueuedWork {
    PIO_WORKITEM item = nullptr;
    std::function<void()> work;
};

struct Workers {
    std::mutex lock;
    std::deque<QueuedWork> queue;
    std::set<PIO_WORKITEM> live;
    KSEMAPHORE pending;  // one count per queued item
    int threads = 0;
    int idle = 0;
    Workers() { KeInitializeSemaphore(&pending, 0, MAXLONG); }
};

Workers& TheWorkers() {
    static Workers* workers = new Workers();  // lives as long as the process; workers never end
    return *workers;
}

void WorkerLoop() {
    Workers& w = TheWorkers();
    for (;;) {
        {
            sim::ke::IdleWaitScope idle;
            KeWaitForSingleObject(&w.pending, Executive, KernelMode, FALSE, nullptr);
        }
        QueuedWork next;
        {
            std::lock_guard<std::mutex> guard(w.lock);
            --w.idle;
            next = std::move(w.queue.front());
            w.queue.pop_front();
            // The routine may free or queue its item again.
            if (next.item != nullptr) next.item->Queued = false;
        }
        if (next.item != nullptr) {
            PDEVICE_OBJECT device = next.item->DeviceObject;
            PIO_WORKITEM_ROUTINE routine = next.item->Routine;
            // The routine may free its item: nothing of it is touched afterwards.
            routine(device, next.item->Context);
            if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
                sim::BugCheck("IRQL_UNEXPECTED_VALUE",
                              "the work item routine %s of %s returned at IRQL %u, but was called at PASSIVE_LEVEL",
                              sim::ke::RoutineName(reinterpret_cast<const void*>(routine)).c_str(),
                              DriverNameOf(device).c_str(), KeGetCurrentIrql());
            }
            ObDereferenceObject(device);
        } else {
            next.work();
        }
        std::lock_guard<std::mutex> guard(w.lock);
        ++w.idle;
    }
}

bool NeedWorkerLocked(Workers& w) {
    if (w.idle >= static_cast<int>(w.queue.size()) || w.threads >= kMaxWorkers) return false;
    ++w.threads;
    ++w.idle;
    return true;
}

void Wake(Workers& w, bool startWorker) {
    if (startWorker) {
        PKTHREAD thread = sim::ke::CreateThread("I/O worker", WorkerLoop);
        if (thread == nullptr) sim::BugCheck("NOT_SIMULATED", "the host cannot start an I/O worker thread");
        ObDereferenceObject(thread);
    }
    KeReleaseSemaphore(&w.pending, IO_NO_INCREMENT, 1, FALSE);
}

PIO_WORKITEM CheckedItem(Workers& w, PIO_WORKITEM item, const char* caller) {
    if (w.live.count(item) == 0) {
        sim::BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "%s of %p, which is not a work item", caller,
                      static_cast<void*>(item));
    }
    return item;
}

}  // namespace

void QueuePassiveWork(std::function<void()> work) {
    Workers& w = TheWorkers();
    bool startWorker;
    {
        std::lock_guard<std::mutex> guard(w.lock);
        w.queue.push_back(QueuedWork{nullptr, std::move(work)});
        startWorker = NeedWorkerLocked(w);
    }
    Wake(w, startWorker);
}

size_t WorkItemsOfModule(const void* moduleBase, std::string* listing) {
    struct Item {
        PIO_WORKITEM item;
        bool queued;
        const void* routine;
    };
    std::vector<Item> items;
    {
        Workers& w = TheWorkers();
        std::lock_guard<std::mutex> guard(w.lock);
        for (PIO_WORKITEM item : w.live) {
            if (item->Module != moduleBase) continue;
            items.push_back(Item{item, item->Queued, reinterpret_cast<const void*>(item->Routine)});
        }
    }
    if (listing != nullptr) {
        listing->clear();
        for (const Item& item : items) {
            char text[64];
            std::snprintf(text, sizeof text, " work item %p", static_cast<void*>(item.item));
            *listing += text;
            *listing += item.queued ? " (queued with the routine " + sim::ke::RoutineName(item.routine) + ")"
                                    : std::string(" (not queued)");
        }
    }
    return items.size();
}

}  // namespace sim::io

using namespace sim::io;

KV_EXTERN_C PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    CheckedDevice(DeviceObject, "IoAllocateWorkItem");
    auto* item = static_cast<PIO_WORKITEM>(ExAllocatePoolWithTag(sim::pool::SystemNonPagedType(), sizeof(IO_WORKITEM), kWorkItemTag));
    if (item == nullptr) return nullptr;
    *item = IO_WORKITEM{DeviceObject, nullptr, nullptr, ModuleOf(__builtin_return_address(0)), false};
    Workers& w = TheWorkers();
    std::lock_guard<std::mutex> guard(w.lock);
    w.live.insert(item);
    return item;
}

KV_EXTERN_C VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                                 WORK_QUEUE_TYPE QueueType, PVOID Context) {
    UNREFERENCED_PARAMETER(QueueType);
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "IoQueueWorkItem at IRQL %u", KeGetCurrentIrql());
    }
    Workers& w = TheWorkers();
    bool startWorker = false;
    {
        std::lock_guard<std::mutex> guard(w.lock);
        CheckedItem(w, IoWorkItem, "IoQueueWorkItem");
        if (IoWorkItem->Queued) {
            sim::BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "work item %p of %s is queued a second time",
                          static_cast<void*>(IoWorkItem), DriverNameOf(IoWorkItem->DeviceObject).c_str());
        }
        ObReferenceObject(IoWorkItem->DeviceObject);
        IoWorkItem->Routine = WorkerRoutine;
        IoWorkItem->Context = Context;
        IoWorkItem->Queued = true;
        w.queue.push_back(QueuedWork{IoWorkItem, {}});
        startWorker = NeedWorkerLocked(w);
    }
    Wake(w, startWorker);
}

KV_EXTERN_C VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    Workers& w = TheWorkers();
    {
        std::lock_guard<std::mutex> guard(w.lock);
        CheckedItem(w, IoWorkItem, "IoFreeWorkItem");
        if (IoWorkItem->Queued) {
            sim::BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "IoFreeWorkItem of work item %p of %s while it is queued",
                          static_cast<void*>(IoWorkItem), DriverNameOf(IoWorkItem->DeviceObject).c_str());
        }
        w.live.erase(IoWorkItem);
    }
    ExFreePoolWithTag(IoWorkItem, kWorkItemTag);
}
