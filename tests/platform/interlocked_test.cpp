// Interlocked operations: which value each form answers, and atomicity under contention.
#include <gtest/gtest.h>
#include <win/kernel.h>

#include <thread>
#include <vector>

namespace {

// Each operation starts from 12 (0b1100) with operand 10 (0b1010).
template <class T>
struct Row {
    const char* name;
    T (*op)(T volatile*);
    T answer;
    T after;
};

template <class T>
void ExpectRows(const std::vector<Row<T>>& rows) {
    for (const Row<T>& row : rows) {
        T volatile value = 12;
        EXPECT_EQ(row.op(&value), row.answer) << row.name;
        EXPECT_EQ(value, row.after) << row.name;
    }
}

TEST(Interlocked, LongFormsAnswerNewOrPreviousValueAsPublished) {
    ExpectRows<LONG>({
        {"Increment", [](LONG volatile* v) { return InterlockedIncrement(v); }, 13, 13},
        {"Decrement", [](LONG volatile* v) { return InterlockedDecrement(v); }, 11, 11},
        {"Exchange", [](LONG volatile* v) { return InterlockedExchange(v, 10); }, 12, 10},
        {"CompareExchangeHit", [](LONG volatile* v) { return InterlockedCompareExchange(v, 10, 12); }, 12, 10},
        {"CompareExchangeMiss", [](LONG volatile* v) { return InterlockedCompareExchange(v, 10, 11); }, 12, 12},
        {"ExchangeAdd", [](LONG volatile* v) { return InterlockedExchangeAdd(v, 10); }, 12, 22},
        {"Add", [](LONG volatile* v) { return InterlockedAdd(v, -20); }, -8, -8},
        {"And", [](LONG volatile* v) { return InterlockedAnd(v, 10); }, 12, 8},
        {"Or", [](LONG volatile* v) { return InterlockedOr(v, 10); }, 12, 14},
        {"Xor", [](LONG volatile* v) { return InterlockedXor(v, 10); }, 12, 6},
    });
}

TEST(Interlocked, SixtyFourBitFormsKeepTheHighHalf) {
    constexpr LONG64 kHigh = LONG64{1} << 40;
    ExpectRows<LONG64>({
        {"Increment64", [](LONG64 volatile* v) { return InterlockedIncrement64(v); }, 13, 13},
        {"Decrement64", [](LONG64 volatile* v) { return InterlockedDecrement64(v); }, 11, 11},
        {"Exchange64", [](LONG64 volatile* v) { return InterlockedExchange64(v, kHigh); }, 12, kHigh},
        {"CompareExchange64", [](LONG64 volatile* v) { return InterlockedCompareExchange64(v, kHigh, 12); }, 12,
         kHigh},
        {"ExchangeAdd64", [](LONG64 volatile* v) { return InterlockedExchangeAdd64(v, kHigh); }, 12, kHigh + 12},
        {"Add64", [](LONG64 volatile* v) { return InterlockedAdd64(v, kHigh); }, kHigh + 12, kHigh + 12},
        {"And64", [](LONG64 volatile* v) { return InterlockedAnd64(v, 10); }, 12, 8},
        {"Or64", [](LONG64 volatile* v) { return InterlockedOr64(v, kHigh); }, 12, kHigh | 12},
    });
}

TEST(Interlocked, UnsignedCountersWrapAtZero) {
    ULONG volatile count = 0;
    EXPECT_EQ(InterlockedDecrement(&count), 0xFFFFFFFFu);
    EXPECT_EQ(InterlockedIncrement(&count), 0u);
}

TEST(Interlocked, PointerForms) {
    int a = 0;
    int b = 0;
    PVOID volatile slot = &a;
    EXPECT_EQ(InterlockedCompareExchangePointer(&slot, &b, nullptr), &a);  // miss: unchanged
    EXPECT_EQ(slot, &a);
    EXPECT_EQ(InterlockedCompareExchangePointer(&slot, &b, &a), &a);
    EXPECT_EQ(slot, &b);
    EXPECT_EQ(InterlockedExchangePointer(&slot, nullptr), &b);
    EXPECT_EQ(slot, nullptr);
    WritePointerRelease(&slot, &a);
    EXPECT_EQ(ReadPointerAcquire(&slot), &a);
}

TEST(Interlocked, ConcurrentUpdatesLoseNothing) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    LONG volatile count = 0;
    LONG64 volatile sum = 0;
    LONG volatile bits = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                InterlockedIncrement(&count);
                InterlockedExchangeAdd64(&sum, LONG64{1} << 33);
                // A compare-exchange loop sets this thread's bit once.
                LONG seen = ReadNoFence(&bits);
                while ((seen & (1 << t)) == 0) {
                    LONG found = InterlockedCompareExchange(&bits, seen | (1 << t), seen);
                    if (found == seen) break;
                    seen = found;
                }
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(count, kThreads * kRounds);
    EXPECT_EQ(sum, (LONG64{kThreads} * kRounds) << 33);
    EXPECT_EQ(bits, (1 << kThreads) - 1);
}

}  // namespace
