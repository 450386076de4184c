// The export table of libkest.so, the module-definition file of the handheld build and the public
// header must name the same twenty functions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "header_from_c.h"

namespace {

std::string readFile(const char* path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> allMatches(const std::string& text, const std::regex& pattern) {
    std::vector<std::string> found;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), pattern);
         it != std::sregex_iterator(); ++it) {
        found.push_back((*it)[1].str());
    }
    return found;
}

std::vector<std::string> headerExports() {
    return allMatches(readFile(KEST_HEADER_FILE),
                      std::regex(R"(KEST_API\s+int\s+WINAPI\s+(\w+)\s*\()"));
}

std::set<std::string> dynamicSymbols() {
    const std::string command = std::string("nm -D --defined-only '") + KEST_LIBRARY_FILE + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::set<std::string> names;
    if (!pipe) return names;
    char line[512];
    while (std::fgets(line, sizeof line, pipe.get()) != nullptr) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (fields >> address >> type >> name) names.insert(name);
    }
    return names;
}

TEST(ExportTable, HeaderDeclaresTwentyDistinctExports) {
    const std::vector<std::string> declared = headerExports();
    EXPECT_EQ(declared.size(), 20u);
    EXPECT_EQ(std::set<std::string>(declared.begin(), declared.end()).size(), declared.size());
}

TEST(ExportTable, LibraryExportsExactlyTheHeadersFunctions) {
    const std::vector<std::string> declared = headerExports();
    EXPECT_EQ(dynamicSymbols(), std::set<std::string>(declared.begin(), declared.end()));
}

TEST(ExportTable, ModuleDefinitionNumbersTheExportsAlphabetically) {
    std::vector<std::string> expected = headerExports();
    std::sort(expected.begin(), expected.end());

    const std::string def = readFile(KEST_DEF_FILE);
    const std::regex entry(R"(^\s*(KEST_\w+)\s+@(\d+)\s*$)");
    std::vector<std::string> names;
    std::vector<int> ordinals;
    std::istringstream lines(def);
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (std::regex_match(line, match, entry)) {
            names.push_back(match[1].str());
            ordinals.push_back(std::stoi(match[2].str()));
        }
    }
    ASSERT_EQ(names, expected);
    for (std::size_t i = 0; i < ordinals.size(); ++i) {
        EXPECT_EQ(ordinals[i], static_cast<int>(i) + 1) << names[i];
    }
    EXPECT_NE(def.find("EXPORTS"), std::string::npos);
}

TEST(ExportTable, HeaderIsUsableFromC) {
    EXPECT_EQ(kestHeaderDeclarationsFromC(), 1);
}

}  // namespace
