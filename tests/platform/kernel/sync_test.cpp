#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
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

// Only well-formed UTF-8 is decoded: a lax decoder makes "..\" of C0 AE C0 AE C1 9C and a
// terminator of C0 80. Each byte that cannot start or continue a sequence, and each truncated
// sequence, becomes one U+FFFD, and the byte after a truncated sequence is decoded anew.
TEST(Text, IllFormedUtf8BecomesReplacementCharacters) {
    const auto widened = [](const std::string& bytes) {
        WCHAR wide[16] = {};
        const int n = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()),
                                          wide, 16);
        return std::u16string(wide, static_cast<std::size_t>(std::max(n, 0)));
    };
    EXPECT_EQ(widened("\xC0\xAE\xC1\x9C"), u"\uFFFD\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(widened(std::string("\xC0\x80", 2)), u"\uFFFD\uFFFD");
    EXPECT_EQ(widened("\xE0\x80\xAF"), u"\uFFFD\uFFFD\uFFFD");           // over-long "/"
    EXPECT_EQ(widened("\xF0\x80\x80\xAF"), u"\uFFFD\uFFFD\uFFFD\uFFFD");  // over-long "/"
    EXPECT_EQ(widened("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");           // U+D800
    EXPECT_EQ(widened("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");  // U+110000
    EXPECT_EQ(widened("\xE1\x80\\"), u"\uFFFD\\");
    EXPECT_EQ(widened("\xC2\x80\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF"),
              u"\u0080\uD7FF\uE000\U0010FFFF");
}

}  // namespace
