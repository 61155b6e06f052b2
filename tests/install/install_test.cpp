// The installed layout, used as a user would: installed into a fresh prefix,
// the tools talk to each other and the program opens its window, with its
// icon, on an X server of the test's own.
#include "tests/support/child_process.h"
#include "tests/support/server_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <thread>
#include <unistd.h>

using namespace testpeer;
namespace fs = std::filesystem;

namespace {

struct InstalledTree {
    fs::path Prefix =
        fs::path(testing::TempDir()) / ("qsologbook_install_" + std::to_string(getpid()));
    ChildResult Install;
    InstalledTree() {
        fs::remove_all(Prefix);
        Install = RunChild(
            {LOGBOOK_CMAKE_COMMAND, "--install", LOGBOOK_BINARY_DIR, "--prefix", Prefix.string()});
    }
    ~InstalledTree() { fs::remove_all(Prefix); }
    std::string Bin(const char* name) const { return (Prefix / "bin" / name).string(); }
};

// An X server on a display number it chose itself.
class XServer {
public:
    // -displayfd writes the number, then a line feed, to standard output;
    // the server's warnings on standard error are left out.
    XServer()
        : FServer({"/bin/sh", "-c",
                   "exec " + FindProgram("Xvfb") +
                       " -displayfd 1 -screen 0 1024x768x24 -nolisten tcp 2>/dev/null"}) {
        if (FServer.WaitForOutput("\n", 20000)) {
            const std::string& out = FServer.Output();
            FDisplay = std::string(":").append(out, 0, out.find('\n'));
        }
    }
    const std::string& Display() const { return FDisplay; }

    // The id of a window named `title` (and, when given, of that size, as
    // "851x385"), waiting for it up to `ms`.
    std::string WaitForWindow(const std::string& title, int ms,
                              const std::string& size = "") const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        do {
            ChildResult tree =
                RunChild({FindProgram("xwininfo"), "-display", FDisplay, "-root", "-tree"});
            std::size_t line = 0;
            while (line < tree.Out.size()) {
                std::size_t end = std::min(tree.Out.find('\n', line), tree.Out.size());
                const std::string text = tree.Out.substr(line, end - line);
                line = end + 1;
                if (text.find("\"" + title + "\"") == std::string::npos ||
                    text.find(" " + size) == std::string::npos)
                    continue;
                std::size_t id = text.find("0x");
                return text.substr(id, text.find(' ', id) - id);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        } while (std::chrono::steady_clock::now() < deadline);
        return {};
    }

    std::string Tree() const {
        return RunChild({FindProgram("xwininfo"), "-display", FDisplay, "-root", "-tree"}).Out;
    }

    std::string Property(const std::string& window, const char* name) const {
        return RunChild({FindProgram("xprop"), "-display", FDisplay, "-id", window, name}).Out;
    }

private:
    BackgroundChild FServer;
    std::string FDisplay;
};

bool HaveX(std::string& why) {
    for (const char* tool : {"Xvfb", "xwininfo", "xprop"})
        if (FindProgram(tool).empty()) {
            why = std::string(tool) + " is not installed (packages xvfb and x11-utils)";
            return false;
        }
    return true;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The lines of a rendered manual page's section, up to the next heading.
std::vector<std::string> Section(const std::string& page, const std::string& heading) {
    std::vector<std::string> lines;
    bool in = false;
    for (const std::string& line : Lines(page)) {
        if (!line.empty() && line[0] != ' ')
            in = line == heading;
        else if (in && !line.empty())
            lines.push_back(line);
    }
    return lines;
}

// The option names ("-d", "--data") that begin lines indented at most
// `indent`, as --help and a page's OPTIONS introduce each option ("-d, --data
// DATA"); the descriptions, deeper or after the names, are not read.
std::set<std::string> OptionNames(const std::vector<std::string>& lines, std::size_t indent) {
    std::set<std::string> names;
    for (const std::string& line : lines) {
        const std::size_t start = line.find_first_not_of(' ');
        if (start == std::string::npos || start > indent || line[start] != '-')
            continue;
        std::istringstream words(line.substr(start));
        for (std::string word; words >> word && word[0] == '-';) {
            const bool more = word.back() == ',';
            names.insert(more ? word.substr(0, word.size() - 1) : word);
            if (!more)
                break;
        }
    }
    return names;
}

// The numbers that begin lines indented at most `indent`: the exit statuses
// of --help's table and of a page's EXIT STATUS.
std::set<std::string> StatusNumbers(const std::vector<std::string>& lines, std::size_t indent) {
    std::set<std::string> numbers;
    for (const std::string& line : lines) {
        const std::size_t start = line.find_first_not_of(' ');
        const std::size_t end = line.find_first_not_of("0123456789", start);
        if (start != std::string::npos && start <= indent && end != start &&
            (end == std::string::npos || line[end] == ' '))
            numbers.insert(line.substr(start, end - start));
    }
    return numbers;
}

} // namespace

TEST(InstalledTree, PutsProgramsModulesDesktopEntryAndIconsInTheirPlaces) {
    InstalledTree tree;
    ASSERT_EQ(tree.Install.ExitCode, 0) << tree.Install.Out << tree.Install.Err;
    for (const char* file :
         {"bin/qsologbook", "bin/httpcli", "bin/logbook-service", "lib/qsologbook/libwsock32.so",
          "lib/qsologbook/libws2_32.so", "lib/qsologbook/libplatform_win32.so",
          "share/applications/qsologbook.desktop", "share/icons/hicolor/16x16/apps/qsologbook.png",
          "share/icons/hicolor/48x48/apps/qsologbook.png",
          "share/icons/hicolor/256x256/apps/qsologbook.png",
          "share/icons/hicolor/scalable/apps/qsologbook.svg", "share/doc/qsologbook/copyright",
          "share/doc/qsologbook/changelog.gz", "share/man/man1/qsologbook.1.gz",
          "share/man/man1/httpcli.1.gz", "share/man/man1/logbook-service.1.gz"})
        EXPECT_TRUE(fs::exists(tree.Prefix / file)) << file;
    // Nothing of the build folder is needed: no module sits beside the programs.
    EXPECT_FALSE(fs::exists(tree.Prefix / "bin/libwsock32.so"));
    if (std::string validate = FindProgram("desktop-file-validate"); !validate.empty()) {
        ChildResult r =
            RunChild({validate, (tree.Prefix / "share/applications/qsologbook.desktop").string()});
        EXPECT_EQ(r.ExitCode, 0) << r.Out << r.Err;
    }
}

// Each program's manual page renders without a warning, and the pages of the
// tools name every option and exit status of their --help, and no other.
TEST(InstalledTree, ManualPagesRenderAndTellWhatHelpTells) {
    const std::string man = FindProgram("man");
    if (man.empty())
        GTEST_SKIP() << "man (man-db) is not installed";
    InstalledTree tree;
    ASSERT_EQ(tree.Install.ExitCode, 0) << tree.Install.Err;
    for (const char* program : {"qsologbook", "httpcli", "logbook-service"}) {
        SCOPED_TRACE(program);
        const fs::path page = tree.Prefix / "share/man/man1" / (std::string(program) + ".1.gz");
        ChildOptions plain;
        plain.Env = {"LC_ALL=C", "MANWIDTH=100"};
        ChildResult rendered = RunChild({man, "--warnings", "-l", page.string()}, plain);
        ASSERT_EQ(rendered.ExitCode, 0) << rendered.Err;
        EXPECT_EQ(rendered.Err, "");
        EXPECT_EQ(Section(rendered.Out, "NAME").size(), 1u) << rendered.Out;
        if (std::string(program) == "qsologbook")
            continue; // no command line of its own, so no --help
        ChildResult help = RunChild({tree.Bin(program), "--help"});
        ASSERT_EQ(help.ExitCode, 0);
        const std::vector<std::string> helpLines = Lines(help.Out);
        const std::set<std::string> helpOptions = OptionNames(helpLines, 6);
        EXPECT_GT(helpOptions.size(), 4u);
        EXPECT_EQ(OptionNames(Section(rendered.Out, "OPTIONS"), 7), helpOptions);
        // httpcli tabulates its exit statuses below "Exit status:".
        const auto table = std::find(helpLines.begin(), helpLines.end(), "Exit status:");
        if (table != helpLines.end()) {
            EXPECT_EQ(StatusNumbers(Section(rendered.Out, "EXIT STATUS"), 7),
                      StatusNumbers({table + 1, helpLines.end()}, 4));
        }
    }
}

TEST(InstalledTree, ToolsRunFromThePrefixAndLoadTheirModulesThere) {
    InstalledTree tree;
    ASSERT_EQ(tree.Install.ExitCode, 0) << tree.Install.Err;
    ChildResult version = RunChild({tree.Bin("httpcli"), "--version"});
    EXPECT_EQ(version.ExitCode, 0);
    EXPECT_EQ(version.Out.rfind("httpcli ", 0), 0u) << version.Out;

    const std::string listen = "127.0.0.1:" + std::to_string(FreePort());
    BackgroundChild service({tree.Bin("logbook-service"), "--listen", listen});
    ASSERT_TRUE(service.WaitForOutput("listening on", 20000)) << service.Output();
    // A request needs the Windows Sockets module from lib/qsologbook.
    ChildResult index = RunChild({tree.Bin("httpcli"), "-sS", "http://" + listen + "/"});
    EXPECT_EQ(index.ExitCode, 0) << index.Err;
    EXPECT_NE(index.Out.find("<h1>logbook-service</h1>"), std::string::npos);
    EXPECT_EQ(service.Stop(), 0);
}

// The installed program started on a fresh X server; `prepare` may change
// the installed tree first.
class InstalledProgram : public testing::Test {
protected:
    void Start(const std::function<void(const fs::path& prefix)>& prepare = {}) {
        std::string why;
        if (!HaveX(why))
            GTEST_SKIP() << why;
        ASSERT_EQ(Tree.Install.ExitCode, 0) << Tree.Install.Err;
        if (prepare)
            prepare(Tree.Prefix);
        X = std::make_unique<XServer>();
        ASSERT_FALSE(X->Display().empty());
        Program = std::make_unique<BackgroundChild>(
            std::vector<std::string>{"/usr/bin/env", "DISPLAY=" + X->Display(),
                                     "QT_QPA_PLATFORM=xcb", Tree.Bin("qsologbook")});
    }

    InstalledTree Tree;
    // Declared after the tree and the server: the program stops first.
    std::unique_ptr<XServer> X;
    std::unique_ptr<BackgroundChild> Program;
};

TEST_F(InstalledProgram, OpensItsMainWindowWithTheProgramIcon) {
    Start();
    if (IsSkipped() || HasFatalFailure())
        return;
    const std::string window = X->WaitForWindow("QQ9XYZ Logbook v1.0.4.1 Beta", 20000, "851x385");
    ASSERT_FALSE(window.empty()) << Program->Output() << "\nWindows on " << X->Display() << ":\n"
                                 << X->Tree();
    EXPECT_NE(X->Property(window, "WM_CLASS").find("\"qsologbook\""), std::string::npos);
    // The icon in the window's property, in the sizes the program carries.
    const std::string icon = X->Property(window, "_NET_WM_ICON");
    for (const char* size : {"Icon (16 x 16):", "Icon (32 x 32):", "Icon (48 x 48):"})
        EXPECT_NE(icon.find(size), std::string::npos) << size;
    EXPECT_EQ(Program->Output().find("could not be loaded"), std::string::npos)
        << Program->Output();
}

TEST_F(InstalledProgram, WithoutItsModuleSaysSoOnStandardErrorAndInABox) {
    Start([](const fs::path& prefix) { fs::remove(prefix / "lib/qsologbook/libwsock32.so"); });
    if (IsSkipped() || HasFatalFailure())
        return;
    ASSERT_TRUE(Program->WaitForOutput("reinstall the program.", 20000)) << Program->Output();
    const std::string& out = Program->Output();
    EXPECT_NE(out.find("The module wsock32.dll (libwsock32.so) could not be loaded"),
              std::string::npos);
    EXPECT_NE(out.find("    " + (Tree.Prefix / "lib/qsologbook").string() + "\n"),
              std::string::npos)
        << out;
    // The error box, captioned with the application title.
    EXPECT_FALSE(X->WaitForWindow("QQ9XYZ Logbook v1.2", 20000).empty());
}
