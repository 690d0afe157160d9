// man_page_tests.cpp: the manual page (docs/tessival.1), the README and `tessival --help` list
// the same options and exit codes
//
// Whoever adds, renames or removes an option or an exit code updates --help (cli/options.cpp),
// the manual page and the README in the same commit; these tests fail when they disagree, and
// name the option or code and the place it is missing from.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <regex>
#include <set>
#include <sstream>
#include <vector>

#include "../options.h"
#include "test_streams.h"

namespace {

// The option names (--range, -q, ...) written in `text`.
std::set<std::string> OptionNames(const std::string& text) {
    static const std::regex name("(^|[\\s,\\[|`])(--?[A-Za-z][A-Za-z0-9-]*)");
    std::set<std::string> names;
    for (std::sregex_iterator m(text.begin(), text.end(), name), end; m != end; ++m)
        names.insert((*m)[2].str());
    return names;
}

// The options --help defines: on a line indented by two or more spaces that starts with a
// dash, the names before the description (which begins after a run of two or more spaces).
std::set<std::string> HelpOptions(const std::string& help) {
    static const std::regex line("^ {2,}(-\\S.*?)(?: {2,}.*)?$");
    std::set<std::string> names;
    std::istringstream in(help);
    std::string text;
    std::smatch m;
    while (std::getline(in, text)) {
        if (!std::regex_match(text, m, line)) continue;
        for (const std::string& n : OptionNames(m[1].str())) names.insert(n);
    }
    return names;
}

// A roff line as plain text: font changes and the macro name gone, \- read as a dash.
std::string RoffText(std::string line) {
    line = std::regex_replace(line, std::regex("\\\\f[BIRP]|\\\\f\\(..|\\\\&|\"|\\\\\\(aq"), "");
    line = std::regex_replace(line, std::regex("\\\\-"), "-");
    return std::regex_replace(line, std::regex("^\\.[A-Za-z]+\\s*"), "");
}

// The tag lines (the line after each .TP) of the page's section `name`, as plain text.
std::vector<std::string> ManPageTags(const std::string& page, const std::string& name) {
    std::vector<std::string> tags;
    std::istringstream in(page);
    std::string line;
    bool inSection = false, tag = false;
    while (std::getline(in, line)) {
        if (line.compare(0, 4, ".SH ") == 0) {
            inSection = RoffText(line) == name;
            tag = false;
            continue;
        }
        if (!inSection) continue;
        if (tag) tags.push_back(RoffText(line));
        tag = line.compare(0, 3, ".TP") == 0;
    }
    return tags;
}

// The options the page defines: the tags of its OPTIONS section.
std::set<std::string> ManPageOptions(const std::string& page) {
    std::set<std::string> names;
    for (const std::string& tag : ManPageTags(page, "OPTIONS"))
        for (const std::string& n : OptionNames(tag)) names.insert(n);
    return names;
}

// Every whole number written in `text`.
std::set<int> Numbers(const std::string& text) {
    static const std::regex number("[0-9]+");
    std::set<int> numbers;
    for (std::sregex_iterator m(text.begin(), text.end(), number), end; m != end; ++m)
        numbers.insert(std::stoi(m->str()));
    return numbers;
}

// The lines of `text` from the one starting with `first` up to the next empty line.
std::string Paragraph(const std::string& text, const std::string& first) {
    const size_t at = text.find("\n" + first);
    if (at == std::string::npos) return std::string();
    const size_t end = text.find("\n\n", at + 1);
    return text.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
}

// The first cells of the table under the README's heading `heading` ("### Options", say).
std::string ReadmeTableKeys(const std::string& readme, const std::string& heading) {
    const size_t at = readme.find("\n" + heading + "\n");
    if (at == std::string::npos) return std::string();
    std::istringstream in(readme.substr(at + heading.size() + 2));
    std::string line, keys;
    bool inTable = false;
    while (std::getline(in, line)) {
        const bool row = line.compare(0, 1, "|") == 0;
        if (!row && inTable) break;
        if (!row || line.find("---") != std::string::npos) continue;
        inTable = true;
        keys += line.substr(1, line.find('|', 1) - 1) + "\n";
    }
    return keys;
}

std::string Help() {
    ScratchFolder dir;
    const ProgramRun run = RunProgram("--help >" + dir.Path("help"));
    EXPECT_EQ(run.Code, 0) << run.Err;
    return ReadFile(dir.Path("help"));
}

TEST(ManPage, ListsTheOptionsOfHelp) {
    const std::set<std::string> help = HelpOptions(Help());
    const std::set<std::string> page = ManPageOptions(ReadFile(TESSIVAL_MAN_PAGE));
    // Guards the parsers themselves: both must see the options every version has had.
    for (const char* always : {"--range", "--strength", "--box", "--help", "--version"}) {
        EXPECT_EQ(help.count(always), 1u) << always << " not found in --help by this test";
        EXPECT_EQ(page.count(always), 1u) << always << " not found in the manual page's OPTIONS";
    }
    for (const std::string& n : help)
        EXPECT_EQ(page.count(n), 1u) << n << " is in --help but not in " TESSIVAL_MAN_PAGE
                                     << " (add a .TP entry to its OPTIONS section)";
    for (const std::string& n : page)
        EXPECT_EQ(help.count(n), 1u)
            << n << " is in " TESSIVAL_MAN_PAGE << " but not in --help (cli/options.cpp)";
}

// Every option --help lists is one the parser knows, in the program's mode or the demo's.
TEST(ManPage, HelpListsOnlyOptionsTheParserKnows) {
    for (const std::string& n : HelpOptions(Help())) {
        bool known = false;
        for (const bool demo : {false, true}) {
            std::vector<const char*> args = {"tessival"};
            if (demo) args.push_back("demo");
            args.insert(args.end(), {n.c_str(), "1", "in", "out"});
            Options o;
            std::string error;
            ParseOptions(int(args.size()), args.data(), &o, &error);
            known = known || error.find("unknown option") == std::string::npos;
        }
        EXPECT_TRUE(known) << n << " is in --help but the parser does not know it";
    }
}

// Every option of --help is in the README, and every option of its table is in --help.
TEST(ManPage, ReadmeListsTheOptionsOfHelp) {
    const std::set<std::string> help = HelpOptions(Help());
    const std::string readme = ReadFile(TESSIVAL_README);
    const std::set<std::string> mentioned = OptionNames(readme);
    const std::set<std::string> table = OptionNames(ReadmeTableKeys(readme, "### Options"));
    EXPECT_EQ(table.count("--range"), 1u) << "no option table under the README's ### Options";
    for (const std::string& n : help)
        EXPECT_EQ(mentioned.count(n), 1u) << n << " is in --help but not in " TESSIVAL_README;
    for (const std::string& n : table)
        EXPECT_EQ(help.count(n), 1u) << n << " is in the option table of " TESSIVAL_README
                                     << " but not in --help (cli/options.cpp)";
}

// --help, the page's EXIT STATUS and the README's exit code table give the same codes.
TEST(ManPage, ExitCodesAgree) {
    const std::set<int> help = Numbers(Paragraph(Help(), "exit codes:"));
    std::set<int> page;
    for (const std::string& tag : ManPageTags(ReadFile(TESSIVAL_MAN_PAGE), "EXIT STATUS"))
        for (const int code : Numbers(tag)) page.insert(code);
    const std::set<int> readme =
        Numbers(ReadmeTableKeys(ReadFile(TESSIVAL_README), "### Exit codes"));
    EXPECT_EQ(help.count(0) + help.count(2), 2u) << "no exit codes found in --help by this test";
    EXPECT_EQ(page, help) << "EXIT STATUS of " TESSIVAL_MAN_PAGE " and --help differ";
    EXPECT_EQ(readme, help) << "the exit code table of " TESSIVAL_README " and --help differ";
}

// The page's title line carries the version the program reports.
TEST(ManPage, NamesTheProgramsVersion) {
    ScratchFolder dir;
    ASSERT_EQ(RunProgram("--version >" + dir.Path("version")).Code, 0);
    std::string version = ReadFile(dir.Path("version"));  // "tessival 1.0.0\n"
    ASSERT_EQ(version.compare(0, 9, "tessival "), 0) << version;
    version = version.substr(9, version.find('\n') - 9);
    const std::string page = ReadFile(TESSIVAL_MAN_PAGE);
    const size_t th = page.find("\n.TH ");
    ASSERT_NE(th, std::string::npos);
    const std::string title = page.substr(th + 1, page.find('\n', th + 1) - th - 1);
    EXPECT_NE(title.find("\"Tessival " + version + "\""), std::string::npos)
        << title << " does not name version " << version;
}

// The page formats without a warning from groff (what lintian checks too).
TEST(ManPage, FormatsWithoutWarnings) {
    if (system("command -v man >/dev/null 2>&1") != 0) GTEST_SKIP() << "man is not installed";
    ScratchFolder dir;
    const std::string command =
        "LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z '" +
        std::string(TESSIVAL_MAN_PAGE) + "' >/dev/null 2>'" + dir.Path("warnings") + "'";
    EXPECT_EQ(system(command.c_str()), 0);
    EXPECT_EQ(ReadFile(dir.Path("warnings")), "");
}

}  // namespace
