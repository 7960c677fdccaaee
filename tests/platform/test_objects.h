// COM-style objects of the port-class tests: reference counted, and counted while alive so a test
// can tell that the library released everything it was given.
#pragma once

#include <win/unknown.h>

#include <atomic>

namespace portcls_test {

inline std::atomic<int>& LiveObjects() {
    static std::atomic<int> live{0};
    return live;
}

template <class... Interfaces>
class TestObject : public Interfaces... {
public:
    TestObject() { ++LiveObjects(); }
    virtual ~TestObject() { --LiveObjects(); }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG left = --m_refs;
        if (left == 0) delete this;
        return left;
    }

private:
    std::atomic<ULONG> m_refs{1};
};

}  // namespace portcls_test
