// Lock-order verifier. Every acquisition made while other locks are held adds the edges
// held -> taken to one graph of lock classes (lock addresses); an edge that closes a cycle means
// two threads can deadlock on these locks, and is reported with where each order was first seen.
#include "lock_order.h"

#include "symbols.h"

#include <sim/verifier.h>

#include <dlfcn.h>
#include <execinfo.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace sim::lockorder {
namespace {

constexpr int kMaxHeld = 64;
constexpr int kSiteFrames = 24;

struct Held {
    const void* lock;
    LockKind kind;
    int oldIrql;
};
thread_local Held t_held[kMaxHeld];
thread_local int t_heldCount = 0;

// Where an order was first seen: the stack of the acquisition.
struct Site {
    void* frames[kSiteFrames];
    int count;
};

struct Graph {
    std::mutex lock;
    std::map<uintptr_t, std::map<uintptr_t, Site>> out;  // held -> taken
    std::map<uintptr_t, std::set<uintptr_t>> in;         // taken -> held
    std::map<uintptr_t, LockKind> kinds;
    std::atomic<bool> empty{true};
};

Graph& TheGraph() {
    static Graph* graph = new Graph();  // lives as long as the process; threads may outlive main
    return *graph;
}

const char* KindName(LockKind kind) {
    switch (kind) {
        case LockKind::SpinLock: return "spin lock";
        case LockKind::QueuedSpinLock: return "queued spin lock";
        case LockKind::Mutex: return "kernel mutex";
    }
    return "lock";
}

std::string LockName(uintptr_t lock, LockKind kind) {
    char text[64];
    std::snprintf(text, sizeof text, "%s %#lx", KindName(kind), static_cast<unsigned long>(lock));
    return text;
}

Site CaptureSite() {
    Site site{};
    void* frames[kSiteFrames + 8];
    int count = backtrace(frames, kSiteFrames + 8);
    // Leave out the frames of the platform library itself: the interesting part is its caller.
    Dl_info self{};
    dladdr(reinterpret_cast<void*>(&CaptureSite), &self);
    int first = 0;
    while (first < count) {
        Dl_info info{};
        if (dladdr(frames[first], &info) == 0 || info.dli_fname != self.dli_fname) break;
        ++first;
    }
    if (first == count) first = 0;
    for (int i = first; i < count && site.count < kSiteFrames; ++i) site.frames[site.count++] = frames[i];
    return site;
}

void AppendSite(std::string& text, const Site& site) {
    for (const std::string& frame : sim::ke::SymbolizeFrames(site.frames, site.count < 8 ? site.count : 8)) {
        text += "        " + frame + "\n";
    }
}

// Path from -> ... -> to along recorded orders (empty when there is none).
std::vector<uintptr_t> FindPath(Graph& g, uintptr_t from, uintptr_t to) {
    std::map<uintptr_t, uintptr_t> parent;
    std::vector<uintptr_t> stack{from};
    parent[from] = from;
    while (!stack.empty()) {
        uintptr_t node = stack.back();
        stack.pop_back();
        if (node == to) {
            std::vector<uintptr_t> path{to};
            while (path.back() != from) path.push_back(parent[path.back()]);
            return {path.rbegin(), path.rend()};
        }
        auto edges = g.out.find(node);
        if (edges == g.out.end()) continue;
        for (auto& [next, site] : edges->second) {
            if (parent.emplace(next, node).second) stack.push_back(next);
        }
    }
    return {};
}

LockKind KindOf(Graph& g, uintptr_t lock) {
    auto it = g.kinds.find(lock);
    return it == g.kinds.end() ? LockKind::SpinLock : it->second;
}

[[noreturn]] void ReportCycle(Graph& g, uintptr_t held, uintptr_t taken, const Site& now,
                              const std::vector<uintptr_t>& reverse) {
    std::string text;
    text += LockName(taken, KindOf(g, taken)) + " taken while holding " + LockName(held, KindOf(g, held)) +
            ", the reverse of an order seen before: these locks can deadlock.\n";
    text += "    order " + LockName(held, KindOf(g, held)) + " -> " + LockName(taken, KindOf(g, taken)) +
            " now at:\n";
    AppendSite(text, now);
    for (size_t i = 0; i + 1 < reverse.size(); ++i) {
        uintptr_t a = reverse[i];
        uintptr_t b = reverse[i + 1];
        text += "    order " + LockName(a, KindOf(g, a)) + " -> " + LockName(b, KindOf(g, b)) + " first seen at:\n";
        AppendSite(text, g.out[a][b]);
    }
    sim::BugCheck("LOCK_ORDER_INVERSION", "%s", text.c_str());
}

void ForgetLocked(Graph& g, uintptr_t lock) {
    if (auto out = g.out.find(lock); out != g.out.end()) {
        for (auto& [to, site] : out->second) g.in[to].erase(lock);
        g.out.erase(out);
    }
    if (auto in = g.in.find(lock); in != g.in.end()) {
        for (uintptr_t from : in->second) g.out[from].erase(lock);
        g.in.erase(in);
    }
    g.kinds.erase(lock);
}

}  // namespace

void Acquiring(const void* lock, LockKind kind) {
    if (t_heldCount == 0) return;
    Graph& g = TheGraph();
    auto taken = reinterpret_cast<uintptr_t>(lock);
    std::lock_guard<std::mutex> guard(g.lock);
    g.empty.store(false, std::memory_order_relaxed);
    g.kinds[taken] = kind;
    for (int i = 0; i < t_heldCount; ++i) {
        auto held = reinterpret_cast<uintptr_t>(t_held[i].lock);
        if (held == taken) continue;
        g.kinds[held] = t_held[i].kind;
        auto& edges = g.out[held];
        if (edges.count(taken) != 0) continue;
        Site site = CaptureSite();
        std::vector<uintptr_t> reverse = FindPath(g, taken, held);
        if (!reverse.empty()) ReportCycle(g, held, taken, site, reverse);
        edges.emplace(taken, site);
        g.in[taken].insert(held);
    }
}

void Acquired(const void* lock, LockKind kind, int oldIrql) {
    if (t_heldCount == kMaxHeld) {
        sim::BugCheck("LOCK_ORDER_INVERSION", "more than %d locks held at once by one thread", kMaxHeld);
    }
    t_held[t_heldCount++] = Held{lock, kind, oldIrql};
}

int Released(const void* lock) {
    for (int i = t_heldCount - 1; i >= 0; --i) {
        if (t_held[i].lock == lock) {
            int oldIrql = t_held[i].oldIrql;
            for (int j = i; j + 1 < t_heldCount; ++j) t_held[j] = t_held[j + 1];
            --t_heldCount;
            return oldIrql;
        }
    }
    return -1;
}

int OldIrqlOf(const void* lock) {
    for (int i = t_heldCount - 1; i >= 0; --i) {
        if (t_held[i].lock == lock) return t_held[i].oldIrql;
    }
    return -1;
}

void DropAllHeld() { t_heldCount = 0; }

bool IsHeld(const void* lock) {
    for (int i = 0; i < t_heldCount; ++i) {
        if (t_held[i].lock == lock) return true;
    }
    return false;
}

size_t HeldCount() { return static_cast<size_t>(t_heldCount); }

bool HoldsSpinLock() {
    for (int i = 0; i < t_heldCount; ++i) {
        if (t_held[i].kind != LockKind::Mutex) return true;
    }
    return false;
}

const char* DescribeFirstHeld() {
    thread_local char text[64];
    if (t_heldCount == 0) return "";
    std::snprintf(text, sizeof text, "%s", LockName(reinterpret_cast<uintptr_t>(t_held[0].lock), t_held[0].kind).c_str());
    return text;
}

void Forget(const void* lock) {
    Graph& g = TheGraph();
    if (g.empty.load(std::memory_order_relaxed)) return;
    std::lock_guard<std::mutex> guard(g.lock);
    ForgetLocked(g, reinterpret_cast<uintptr_t>(lock));
}

void ForgetRange(const void* p, size_t size) {
    Graph& g = TheGraph();
    if (g.empty.load(std::memory_order_relaxed) || size == 0) return;
    auto begin = reinterpret_cast<uintptr_t>(p);
    uintptr_t end = begin + size;
    std::lock_guard<std::mutex> guard(g.lock);
    std::vector<uintptr_t> locks;
    for (auto it = g.kinds.lower_bound(begin); it != g.kinds.end() && it->first < end; ++it) locks.push_back(it->first);
    for (uintptr_t lock : locks) ForgetLocked(g, lock);
}

}  // namespace sim::lockorder
