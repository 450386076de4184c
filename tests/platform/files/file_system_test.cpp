// The object store on a host root: dispositions, directories, attributes, and the rules that
// keep every path inside the root.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <host/files.h>
#include <host/handles.h>
#include <stdlib.h>
#include <unistd.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class FileSystemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/cefilesXXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        base_ = pattern;
        root_ = base_ / "root";
        outside_ = base_ / "outside";
        fs::create_directories(outside_);
        host::files::setRoot(root_.string());
        handlesAtStart_ = host::liveHandleCount();
    }
    void TearDown() override {
        EXPECT_EQ(host::liveHandleCount(), handlesAtStart_);
        fs::remove_all(base_);
    }

    HANDLE create(const char16_t* path, DWORD disposition, DWORD access = GENERIC_WRITE) {
        return CreateFileW(path, access, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    bool writeWhole(const char16_t* path, const std::string& content) {
        HANDLE h = create(path, CREATE_ALWAYS);
        if (h == INVALID_HANDLE_VALUE) return false;
        DWORD done = 0;
        const BOOL ok =
            WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &done, nullptr);
        CloseHandle(h);
        return ok && done == content.size();
    }
    std::string readWhole(const char16_t* path) {
        HANDLE h = create(path, OPEN_EXISTING, GENERIC_READ);
        if (h == INVALID_HANDLE_VALUE) return "<none>";
        char buffer[256];
        DWORD done = 0;
        ReadFile(h, buffer, sizeof buffer, &done, nullptr);
        CloseHandle(h);
        return std::string(buffer, done);
    }

    fs::path base_, root_, outside_;
    std::size_t handlesAtStart_ = 0;
};

TEST_F(FileSystemTest, TheDownloadPathIsCreatedUnderTheRoot) {
    ASSERT_TRUE(CreateDirectoryW(u"QUOX", nullptr));
    EXPECT_FALSE(CreateDirectoryW(u"QUOX", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    ASSERT_TRUE(CreateDirectoryW(u"QUOX\\RUV", nullptr));
    ASSERT_TRUE(writeWhole(u"QUOX\\RUV\\abc.bin", "content"));
    EXPECT_EQ(slurp(root_ / "QUOX" / "RUV" / "abc.bin"), "content");
    // With or without a leading backslash: the handheld has no current directory.
    EXPECT_EQ(readWhole(u"\\QUOX\\RUV\\abc.bin"), "content");
    EXPECT_EQ(GetFileAttributesW(u"\\QUOX"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    const DWORD attributes = GetFileAttributesW(u"QUOX\\RUV\\abc.bin");
    EXPECT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

TEST_F(FileSystemTest, MissingThingsAreReportedWithTheirCodes) {
    EXPECT_FALSE(CreateDirectoryW(u"NOPE\\SUB", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(GetFileAttributesW(u"absent.bin"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetFileAttributesW(u"NOPE\\absent.bin"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(create(u"absent.bin", OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(create(u"NOPE\\new.bin", CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(DeleteFileW(u"absent.bin"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(FileSystemTest, DispositionsCreateReplaceKeepAndTruncate) {
    ASSERT_TRUE(writeWhole(u"f.bin", "first"));
    EXPECT_EQ(create(u"f.bin", CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));

    HANDLE h = create(u"f.bin", OPEN_ALWAYS, GENERIC_READ);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    CloseHandle(h);
    EXPECT_EQ(readWhole(u"f.bin"), "first");

    ASSERT_TRUE(writeWhole(u"f.bin", "2nd"));
    EXPECT_EQ(readWhole(u"f.bin"), "2nd");

    h = create(u"f.bin", TRUNCATE_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(readWhole(u"f.bin"), "");
    EXPECT_EQ(create(u"f.bin", TRUNCATE_EXISTING, GENERIC_READ), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    h = create(u"g.bin", CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_TRUE(fs::exists(root_ / "g.bin"));
    EXPECT_EQ(create(u"h.bin", 9), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(FileSystemTest, HandlesHonourTheirAccessAndTheFilePointer) {
    ASSERT_TRUE(writeWhole(u"p.bin", "0123456789"));
    HANDLE h = create(u"p.bin", OPEN_EXISTING, GENERIC_READ);
    DWORD done = 0;
    EXPECT_FALSE(WriteFile(h, "x", 1, &done, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(SetFilePointer(h, 4, nullptr, FILE_BEGIN), 4u);
    char buffer[4];
    ASSERT_TRUE(ReadFile(h, buffer, 2, &done, nullptr));
    EXPECT_EQ(std::string(buffer, done), "45");
    EXPECT_EQ(SetFilePointer(h, -1, nullptr, FILE_CURRENT), 5u);
    EXPECT_EQ(SetFilePointer(h, -2, nullptr, FILE_END), 8u);
    ASSERT_TRUE(ReadFile(h, buffer, 4, &done, nullptr));
    EXPECT_EQ(std::string(buffer, done), "89");
    ASSERT_TRUE(ReadFile(h, buffer, 4, &done, nullptr));
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(SetFilePointer(h, -20, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CloseHandle(h);

    h = create(u"p.bin", OPEN_EXISTING, GENERIC_WRITE);
    EXPECT_FALSE(ReadFile(h, buffer, 1, &done, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(h);
    // A directory is not a file.
    ASSERT_TRUE(CreateDirectoryW(u"dir", nullptr));
    EXPECT_EQ(create(u"dir", OPEN_EXISTING, GENERIC_READ), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(FileSystemTest, DeleteRemovesFilesOnly) {
    ASSERT_TRUE(writeWhole(u"d.bin", "x"));
    ASSERT_TRUE(DeleteFileW(u"\\d.bin"));
    EXPECT_FALSE(fs::exists(root_ / "d.bin"));
    ASSERT_TRUE(CreateDirectoryW(u"keep", nullptr));
    EXPECT_FALSE(DeleteFileW(u"keep"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(fs::is_directory(root_ / "keep"));
}

TEST_F(FileSystemTest, DotDotNeverClimbsAboveTheRoot) {
    ASSERT_TRUE(CreateDirectoryW(u"QUOX", nullptr));
    ASSERT_TRUE(writeWhole(u"QUOX\\..\\inside.bin", "ok"));
    EXPECT_TRUE(fs::exists(root_ / "inside.bin"));
    for (const char16_t* escape : {u"..\\outside\\x.bin", u"\\..\\outside\\x.bin",
                                   u"QUOX\\..\\..\\outside\\x.bin", u"QUOX/../../outside/x.bin"}) {
        EXPECT_EQ(create(escape, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_FALSE(CreateDirectoryW(escape, nullptr));
        EXPECT_EQ(GetFileAttributesW(escape), INVALID_FILE_ATTRIBUTES);
    }
    EXPECT_TRUE(fs::is_empty(outside_));
}

TEST_F(FileSystemTest, SymbolicLinksLeadingOutsideAreRefused) {
    ASSERT_TRUE(CreateDirectoryW(u"QUOX", nullptr));
    std::ofstream(outside_ / "secret.bin") << "secret";
    fs::create_directory_symlink(outside_, root_ / "QUOX" / "away");
    fs::create_symlink(outside_ / "secret.bin", root_ / "secret.bin");
    fs::create_symlink(outside_ / "planted.bin", root_ / "dangling.bin");
    fs::create_symlink(root_ / "QUOX", root_ / "here");

    EXPECT_EQ(create(u"QUOX\\away\\new.bin", CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(readWhole(u"secret.bin"), "<none>");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(GetFileAttributesW(u"QUOX\\away"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(create(u"dangling.bin", CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(DeleteFileW(u"QUOX\\away\\secret.bin"));
    EXPECT_FALSE(fs::exists(outside_ / "planted.bin"));
    EXPECT_FALSE(fs::exists(outside_ / "new.bin"));
    EXPECT_TRUE(fs::exists(outside_ / "secret.bin"));

    // A link that stays inside the root works like its target.
    ASSERT_TRUE(writeWhole(u"here\\via.bin", "inside"));
    EXPECT_EQ(slurp(root_ / "QUOX" / "via.bin"), "inside");
}

// Plants a link between the object store's checks and its open: the first open of a file
// named "trap.bin" first turns the link root/flip, which leads to a directory inside the root,
// into one that leads out of it.
std::atomic<bool> trapArmed{false};
fs::path flipLink, flipOutside;

void springTrap(const char* path) {
    if (std::string_view(path).ends_with("trap.bin") && trapArmed.exchange(false)) {
        fs::remove(flipLink);
        fs::create_directory_symlink(flipOutside, flipLink);
    }
}

// The mode argument is there only when the file may be created.
mode_t modeArgument(int flags, va_list args) {
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(args, mode_t) : 0;
}

}  // namespace

extern "C" int open(const char* path, int flags, ...) {
    static const auto real =
        reinterpret_cast<int (*)(const char*, int, ...)>(dlsym(RTLD_NEXT, "open"));
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeArgument(flags, args);
    va_end(args);
    springTrap(path);
    return real(path, flags, mode);
}

extern "C" int openat(int directory, const char* path, int flags, ...) {
    static const auto real =
        reinterpret_cast<int (*)(int, const char*, int, ...)>(dlsym(RTLD_NEXT, "openat"));
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeArgument(flags, args);
    va_end(args);
    springTrap(path);
    return real(directory, path, flags, mode);
}

namespace {

TEST_F(FileSystemTest, ALinkPlantedBetweenTheChecksAndTheOpenCannotLeadOut) {
    ASSERT_TRUE(CreateDirectoryW(u"QUOX", nullptr));
    flipLink = root_ / "flip";
    flipOutside = outside_;
    fs::create_directory_symlink(root_ / "QUOX", flipLink);
    trapArmed = true;
    EXPECT_TRUE(writeWhole(u"flip\\trap.bin", "x"));
    EXPECT_FALSE(trapArmed) << "the trap was not sprung";
    EXPECT_FALSE(fs::exists(outside_ / "trap.bin"));
    EXPECT_TRUE(fs::exists(root_ / "QUOX" / "trap.bin"));
}

TEST_F(FileSystemTest, NamesAreCaseInsensitiveAndKeepTheSpellingTheyWereCreatedWith) {
    ASSERT_TRUE(CreateDirectoryW(u"QUOX", nullptr));
    EXPECT_EQ(GetFileAttributesW(u"\\quox"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_FALSE(CreateDirectoryW(u"\\Quox", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    ASSERT_TRUE(writeWhole(u"quox\\Abc.bin", "first"));
    ASSERT_TRUE(writeWhole(u"\\QUOX\\ABC.BIN", "second"));
    EXPECT_EQ(readWhole(u"Quox\\aBC.bIN"), "second");
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(root_))
        names.push_back(fs::relative(entry.path(), root_).string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"QUOX", "QUOX/Abc.bin"}));
    // Beyond ASCII: Latin-1, Latin Extended-A and -B letters.
    ASSERT_TRUE(CreateDirectoryW(u"\u0141\u00F3d\u017A\u01C6\u00FF", nullptr));
    EXPECT_EQ(GetFileAttributesW(u"\u0142\u00D3D\u0179\u01C4\u0178"),
              static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));

    // Host names that fold alike: an exact spelling wins, and without one none is picked.
    std::ofstream(root_ / "two.bin") << "lower";
    std::ofstream(root_ / "TWO.BIN") << "upper";
    EXPECT_EQ(readWhole(u"two.bin"), "lower");
    EXPECT_EQ(readWhole(u"TWO.BIN"), "upper");
    EXPECT_EQ(readWhole(u"Two.bin"), "<none>");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(writeWhole(u"Two.bin", "third"));
    EXPECT_FALSE(fs::exists(root_ / "Two.bin"));
}

TEST_F(FileSystemTest, CharactersTheHandheldRejectsAreInvalidNames) {
    for (const char16_t* name :
         {u"a:b.bin", u"a*b", u"a?b", u"a\"b", u"a<b", u"a>b", u"a|b", u"QUOX\\t\x01.bin"}) {
        EXPECT_EQ(create(name, CREATE_ALWAYS), INVALID_HANDLE_VALUE) << std::string(name, name + 3);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
        EXPECT_FALSE(CreateDirectoryW(name, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
        EXPECT_EQ(GetFileAttributesW(name), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    }
    EXPECT_TRUE(!fs::exists(root_) || fs::is_empty(root_));
}

TEST_F(FileSystemTest, TheDefaultRootIsCreatedOnDemand) {
    const fs::path previous = fs::current_path();
    fs::current_path(base_);
    host::files::setRoot("./ce-root");
    EXPECT_EQ(GetFileAttributesW(u"\\"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_TRUE(fs::is_directory(base_ / "ce-root"));
    fs::current_path(previous);
}

}  // namespace
