// Readers and writers at the same time; under ThreadSanitizer this shows the locking.
#include <gmock/gmock.h>
#include <host/registry.h>

#include <atomic>
#include <string>
#include <thread>

#include "registry_fixture.h"

namespace {

using RegistryConcurrencyTest = RegistryTest;

constexpr int kWriters = 3;
constexpr int kEntries = 60;

std::u16string wide(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

std::u16string entryPath(int writer, int entry) {
    return wide("Drivers\\Active\\W" + std::to_string(writer) + "_" + std::to_string(entry));
}

// Every third entry is deleted again after the next one is written.
bool survives(int entry) {
    return entry % 3 != 0 || entry + 1 == kEntries;
}

void writeEntries(int writer) {
    for (int entry = 0; entry < kEntries; ++entry) {
        ScopedKey key(createKey(HKEY_LOCAL_MACHINE, entryPath(writer, entry).c_str()));
        setString(key.get(), u"Name", wide("COM" + std::to_string(entry) + ":"));
        setDword(key.get(), u"Index", static_cast<DWORD>(entry));
        if (entry > 0 && !survives(entry - 1)) {
            EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, entryPath(writer, entry - 1).c_str()),
                      ERROR_SUCCESS);
        }
    }
}

// Walks the active list the way device discovery does. Entries may vanish between the
// enumeration and the open; what is read must never be torn.
void readActiveList() {
    ScopedKey active;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Active", 0, KEY_READ, active.out()),
              ERROR_SUCCESS);
    for (DWORD index = 0;; ++index) {
        WCHAR name[128];
        DWORD length = 128;
        const LONG result =
            RegEnumKeyExW(active.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS) return;
        ASSERT_EQ(result, ERROR_SUCCESS);
        ScopedKey entry;
        if (RegOpenKeyExW(active.get(), name, 0, KEY_READ, entry.out()) != ERROR_SUCCESS) continue;
        BYTE data[128];
        DWORD size = sizeof data;
        const LONG query = RegQueryValueExW(entry.get(), u"NAME", nullptr, nullptr, data, &size);
        if (query == ERROR_SUCCESS) {
            ASSERT_GE(size, 8u);
            EXPECT_EQ(data[0], 'C');
            EXPECT_EQ(data[size - 2] | data[size - 1], 0);
        } else {
            EXPECT_THAT(query, ::testing::AnyOf(ERROR_FILE_NOT_FOUND, ERROR_KEY_DELETED));
        }
    }
}

TEST_F(RegistryConcurrencyTest, ReadersSeeAConsistentTreeWhileWritersChangeIt) {
    std::atomic<int> writersLeft{kWriters + 1};
    std::vector<std::thread> threads;
    for (int writer = 0; writer < kWriters; ++writer) {
        threads.emplace_back([writer, &writersLeft] {
            writeEntries(writer);
            writersLeft.fetch_sub(1, std::memory_order_release);
        });
    }
    threads.emplace_back([&writersLeft] {
        for (int round = 0; round < 20; ++round) {
            const std::string text =
                "REGEDIT4\n[HKLM\\Drivers\\Active\\Loaded" + std::to_string(round % 4) +
                "]\n\"Name\"=\"COM" + std::to_string(round) +
                ":\"\n[-HKLM\\Drivers\\Active\\Loaded" + std::to_string((round + 2) % 4) + "]\n";
            const auto result = host::registry::loadText(text);
            EXPECT_TRUE(result) << result.error;
        }
        writersLeft.fetch_sub(1, std::memory_order_release);
    });
    for (int reader = 0; reader < 2; ++reader) {
        threads.emplace_back([reader, &writersLeft] {
            do {
                readActiveList();
                if (reader == 1) {
                    EXPECT_TRUE(host::registry::exportText("HKLM\\Drivers"));
                }
            } while (writersLeft.load(std::memory_order_acquire) > 0);
        });
    }
    for (std::thread& t : threads) t.join();

    for (int writer = 0; writer < kWriters; ++writer) {
        for (int entry = 0; entry < kEntries; ++entry) {
            const StoredValue index =
                readValue(HKEY_LOCAL_MACHINE, entryPath(writer, entry).c_str(), u"Index");
            if (survives(entry)) {
                ASSERT_EQ(index.result, ERROR_SUCCESS) << writer << "/" << entry;
                EXPECT_EQ(index.data, (std::vector<BYTE>{static_cast<BYTE>(entry), 0, 0, 0}));
            } else {
                EXPECT_EQ(index.result, ERROR_FILE_NOT_FOUND) << writer << "/" << entry;
            }
        }
    }
}

TEST_F(RegistryConcurrencyTest, DeletingAKeyWhileOthersUseItsHandleIsSafe) {
    ScopedKey held(createKey(HKEY_LOCAL_MACHINE, u"Busy"));
    std::atomic<bool> deleted{false};
    std::thread user([&] {
        // Calls on the handle succeed until the deletion and report it from then on.
        while (true) {
            const bool after = deleted.load(std::memory_order_acquire);
            const DWORD value = 1;
            const LONG result = RegSetValueExW(held.get(), u"V", 0, REG_DWORD,
                                               reinterpret_cast<const BYTE*>(&value), 4);
            if (after) {
                EXPECT_EQ(result, ERROR_KEY_DELETED);
                return;
            }
            EXPECT_THAT(result, ::testing::AnyOf(ERROR_SUCCESS, ERROR_KEY_DELETED));
        }
    });
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Busy"), ERROR_SUCCESS);
    deleted.store(true, std::memory_order_release);
    user.join();
}

}  // namespace
