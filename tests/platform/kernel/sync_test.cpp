#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <thread>
#include <vector>

namespace {

TEST(CriticalSection, IsRecursiveAndExcludesOtherThreads) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EXPECT_TRUE(TryEnterCriticalSection(&cs)) << "the owner may enter again";
    bool otherGotIn = true;
    std::thread([&] { otherGotIn = TryEnterCriticalSection(&cs) != FALSE; }).join();
    EXPECT_FALSE(otherGotIn);
    LeaveCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    std::thread([&] {
        otherGotIn = TryEnterCriticalSection(&cs) != FALSE;
        if (otherGotIn) LeaveCriticalSection(&cs);
    }).join();
    EXPECT_TRUE(otherGotIn);
    DeleteCriticalSection(&cs);
}

TEST(CriticalSection, SerialisesCounters) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                EnterCriticalSection(&cs);
                ++counter;
                LeaveCriticalSection(&cs);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 40000);
    DeleteCriticalSection(&cs);
}

TEST(Interlocked, ReturnsTheDocumentedValues) {
    LONG value = 5;
    EXPECT_EQ(InterlockedIncrement(&value), 6);
    EXPECT_EQ(InterlockedDecrement(&value), 5);
    EXPECT_EQ(InterlockedExchange(&value, 9), 5);
    EXPECT_EQ(InterlockedExchangeAdd(&value, 3), 9);
    EXPECT_EQ(value, 12);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 7), 12) << "no exchange when unequal";
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 12), 12);
    EXPECT_EQ(value, 1);
}

TEST(LocalAlloc, ZeroInitialisedWithLptr) {
    auto* block = static_cast<unsigned char*>(LocalAlloc(LPTR, 64));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(block[i], 0) << i;
    EXPECT_EQ(LocalFree(block), nullptr);
}

TEST(Text, ConversionsRoundTripAndReportSizes) {
    WCHAR wide[8];
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "COM5:", -1, nullptr, 0), 6);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "COM5:", -1, wide, 8), 6);
    EXPECT_EQ(std::u16string(wide), u"COM5:");
    char narrow[8];
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, 8, nullptr, nullptr), 6);
    EXPECT_STREQ(narrow, "COM5:");
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "too long", -1, wide, 4), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(lstrcmpiW(u"Drivers", u"DRIVERS"), 0);
    EXPECT_LT(lstrcmpiW(u"abc", u"ABD"), 0);
}

}  // namespace
