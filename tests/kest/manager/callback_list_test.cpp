#include "manager/callback_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using kest::callback;
using kest::CallbackList;
using kest::toWord;

// Records which receiver saw which argument, in call order.
struct Log {
    std::vector<std::string> calls;
};

struct Receiver {
    Log* log;
    std::string name;
};

void recordText(Receiver* receiver, const char* text) {
    receiver->log->calls.push_back(receiver->name + ":" + text);
}

void recordShout(Receiver* receiver, const char* text) {
    receiver->log->calls.push_back(receiver->name + "!" + text);
}

void recordNumber(Receiver* receiver, int number) {
    receiver->log->calls.push_back(receiver->name + "#" + std::to_string(number));
}

constexpr kest::CallbackFunction kText = callback<&recordText>;
constexpr kest::CallbackFunction kShout = callback<&recordShout>;
constexpr kest::CallbackFunction kNumber = callback<&recordNumber>;

TEST(CallbackList, InvokesNewestFirstWithTheSameArgument) {
    Log log;
    Receiver a{&log, "a"}, b{&log, "b"}, c{&log, "c"};
    CallbackList list;
    EXPECT_EQ(list.add(&a, kText), 0);
    EXPECT_EQ(list.add(&b, kText), 0);
    EXPECT_EQ(list.add(&c, kText), 0);
    list.invoke(toWord("hi"));
    EXPECT_EQ(log.calls, (std::vector<std::string>{"c:hi", "b:hi", "a:hi"}));
}

TEST(CallbackList, PassesNegativeNumbersThroughTheWord) {
    Log log;
    Receiver a{&log, "a"};
    CallbackList list;
    list.add(&a, kNumber);
    list.invoke(toWord(-5));
    list.invoke(toWord(13));
    EXPECT_EQ(log.calls, (std::vector<std::string>{"a#-5", "a#13"}));
}

TEST(CallbackList, EmptyListInvokesNothing) {
    CallbackList list;
    EXPECT_TRUE(list.empty());
    list.invoke(toWord("nobody"));
}

TEST(CallbackList, DuplicatePairsAreCalledTwiceAndRemovedNewestFirst) {
    Log log;
    Receiver a{&log, "a"}, b{&log, "b"};
    CallbackList list;
    list.add(&a, kText);
    list.add(&b, kText);
    list.add(&a, kText);
    list.invoke(toWord("1"));
    EXPECT_EQ(log.calls, (std::vector<std::string>{"a:1", "b:1", "a:1"}));

    // The newer of the two identical entries goes: b is now first.
    EXPECT_EQ(list.remove(&a, kText), 0);
    log.calls.clear();
    list.invoke(toWord("2"));
    EXPECT_EQ(log.calls, (std::vector<std::string>{"b:2", "a:2"}));
}

TEST(CallbackList, RemovalNeedsTargetAndFunctionToMatch) {
    Log log;
    Receiver a{&log, "a"}, b{&log, "b"};
    CallbackList list;
    list.add(&a, kText);
    list.add(&b, kShout);

    EXPECT_EQ(list.remove(&a, kShout), 1) << "right target, wrong function";
    EXPECT_EQ(list.remove(&b, kText), 1) << "right function, wrong target";
    Receiver never{&log, "never"};
    EXPECT_EQ(list.remove(&never, kText), 1) << "never added";
    list.invoke(toWord("x"));
    EXPECT_EQ(log.calls, (std::vector<std::string>{"b!x", "a:x"})) << "unchanged";

    EXPECT_EQ(list.remove(&a, kText), 0);
    EXPECT_EQ(list.remove(&b, kShout), 0);
    EXPECT_EQ(list.remove(&b, kShout), 1) << "already gone";
    EXPECT_TRUE(list.empty());
}

TEST(CallbackList, EntriesMatchTheirOwnTarget) {
    Log log;
    Receiver a{&log, "a"}, b{&log, "b"};
    const kest::CallbackEntry entry(nullptr, &a, kText);
    EXPECT_TRUE(entry.isTarget(&a));
    EXPECT_FALSE(entry.isTarget(&b));
    EXPECT_TRUE(entry.matches(&a, kText));
    EXPECT_FALSE(entry.matches(&a, kShout));
    EXPECT_FALSE(entry.matches(&b, kText));
    entry.invoke(toWord("direct"));
    EXPECT_EQ(log.calls, (std::vector<std::string>{"a:direct"}));
}

// An entry that takes itself, or the entry after it, out of the list while it runs.
struct Remover {
    CallbackList* list;
    Log* log;
    const void* victimTarget;
    kest::CallbackFunction victimFunction;
};

void removeVictim(Remover* remover, const char* text) {
    remover->log->calls.push_back(std::string("remover:") + text);
    remover->list->remove(remover->victimTarget, remover->victimFunction);
}

TEST(CallbackList, AWalkFinishesOverTheEntriesItStartedWith) {
    Log log;
    CallbackList list;
    Receiver a{&log, "a"};
    list.add(&a, kText);
    Remover remover{&list, &log, &a, kText};
    list.add(&remover, callback<&removeVictim>);

    // The remover unlinks a, which this walk still reaches; the next walk does not.
    list.invoke(toWord("1"));
    list.invoke(toWord("2"));
    EXPECT_EQ(log.calls, (std::vector<std::string>{"remover:1", "a:1", "remover:2"}));
}

TEST(CallbackList, AnEntryMayRemoveItselfWhileItRuns) {
    Log log;
    CallbackList list;
    Receiver a{&log, "a"};
    list.add(&a, kText);
    Remover remover{&list, &log, nullptr, callback<&removeVictim>};
    remover.victimTarget = &remover;
    list.add(&remover, callback<&removeVictim>);

    list.invoke(toWord("1"));
    list.invoke(toWord("2"));
    EXPECT_EQ(log.calls, (std::vector<std::string>{"remover:1", "a:1", "a:2"}));
}

void countCall(std::atomic<int>* counter, std::uintptr_t) {
    counter->fetch_add(1);
}

TEST(CallbackList, ChangesWhileAnotherThreadInvokes) {
    CallbackList list;
    std::atomic<int> steady{0};
    std::atomic<int> churn{0};
    list.add(&steady, callback<&countCall>);
    std::atomic<bool> stop{false};

    std::thread invoker([&] {
        while (!stop.load()) list.invoke(0);
    });
    while (steady.load() == 0) std::this_thread::yield();
    for (int i = 0; i < 2000; ++i) {
        list.add(&churn, callback<&countCall>);
        ASSERT_EQ(list.remove(&churn, callback<&countCall>), 0);
    }
    stop = true;
    invoker.join();

    // Every walk reached the entry that stayed; the churned one is gone for good.
    const int walks = steady.load();
    churn = 0;
    list.invoke(0);
    EXPECT_EQ(churn.load(), 0);
    EXPECT_EQ(steady.load(), walks + 1);
}

}  // namespace
