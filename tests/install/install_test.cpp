// The installed layout, used as a user would: installed into a fresh prefix,
// the tools talk to each other and the program opens its window, with its
// icon, on an X server of the test's own.
#include "tests/support/child_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
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

std::string Which(const std::string& program) {
    for (const char* dir : {"/usr/bin", "/usr/local/bin", "/bin"}) {
        fs::path p = fs::path(dir) / program;
        if (access(p.c_str(), X_OK) == 0)
            return p.string();
    }
    return {};
}

// An X server on a display number it chose itself.
class XServer {
public:
    // -displayfd writes the number, then a line feed, to standard output;
    // the server's warnings on standard error are left out.
    XServer()
        : FServer({"/bin/sh", "-c",
                   "exec " + Which("Xvfb") +
                       " -displayfd 1 -screen 0 1024x768x24 -nolisten tcp 2>/dev/null"}) {
        if (FServer.WaitForOutput("\n", 20000)) {
            const std::string& out = FServer.Output();
            FDisplay = ":" + out.substr(0, out.find('\n'));
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
                RunChild({Which("xwininfo"), "-display", FDisplay, "-root", "-tree"});
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
        return RunChild({Which("xwininfo"), "-display", FDisplay, "-root", "-tree"}).Out;
    }

    std::string Property(const std::string& window, const char* name) const {
        return RunChild({Which("xprop"), "-display", FDisplay, "-id", window, name}).Out;
    }

private:
    BackgroundChild FServer;
    std::string FDisplay;
};

bool HaveX(std::string& why) {
    for (const char* tool : {"Xvfb", "xwininfo", "xprop"})
        if (Which(tool).empty()) {
            why = std::string(tool) + " is not installed (packages xvfb and x11-utils)";
            return false;
        }
    return true;
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
          "share/icons/hicolor/scalable/apps/qsologbook.svg", "share/doc/qsologbook/LICENSE"})
        EXPECT_TRUE(fs::exists(tree.Prefix / file)) << file;
    // Nothing of the build folder is needed: no module sits beside the programs.
    EXPECT_FALSE(fs::exists(tree.Prefix / "bin/libwsock32.so"));
    if (std::string validate = Which("desktop-file-validate"); !validate.empty()) {
        ChildResult r =
            RunChild({validate, (tree.Prefix / "share/applications/qsologbook.desktop").string()});
        EXPECT_EQ(r.ExitCode, 0) << r.Out << r.Err;
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

TEST(InstalledProgram, OpensItsMainWindowWithTheProgramIcon) {
    std::string why;
    if (!HaveX(why))
        GTEST_SKIP() << why;
    InstalledTree tree;
    ASSERT_EQ(tree.Install.ExitCode, 0) << tree.Install.Err;
    XServer x;
    ASSERT_FALSE(x.Display().empty());
    BackgroundChild program(
        {"/usr/bin/env", "DISPLAY=" + x.Display(), "QT_QPA_PLATFORM=xcb", tree.Bin("qsologbook")});
    const std::string window = x.WaitForWindow("QQ9XYZ Logbook v1.0.4.1 Beta", 20000, "851x385");
    ASSERT_FALSE(window.empty()) << program.Output() << "\nWindows on " << x.Display() << ":\n"
                                 << x.Tree();
    EXPECT_NE(x.Property(window, "WM_CLASS").find("\"qsologbook\""), std::string::npos);
    // The icon in the window's property, in the sizes the program carries.
    const std::string icon = x.Property(window, "_NET_WM_ICON");
    for (const char* size : {"Icon (16 x 16):", "Icon (32 x 32):", "Icon (48 x 48):"})
        EXPECT_NE(icon.find(size), std::string::npos) << size;
    EXPECT_EQ(program.Output().find("could not be loaded"), std::string::npos) << program.Output();
}

TEST(InstalledProgram, WithoutItsModuleSaysSoOnStandardErrorAndInABox) {
    std::string why;
    if (!HaveX(why))
        GTEST_SKIP() << why;
    InstalledTree tree;
    ASSERT_EQ(tree.Install.ExitCode, 0) << tree.Install.Err;
    fs::remove(tree.Prefix / "lib/qsologbook/libwsock32.so");
    XServer x;
    ASSERT_FALSE(x.Display().empty());
    BackgroundChild program(
        {"/usr/bin/env", "DISPLAY=" + x.Display(), "QT_QPA_PLATFORM=xcb", tree.Bin("qsologbook")});
    ASSERT_TRUE(program.WaitForOutput("reinstall the program.", 20000)) << program.Output();
    EXPECT_NE(program.Output().find("The module wsock32.dll (libwsock32.so) could not be loaded"),
              std::string::npos);
    EXPECT_NE(program.Output().find("    " + (tree.Prefix / "lib/qsologbook").string() + "\n"),
              std::string::npos)
        << program.Output();
    // The error box, captioned with the application title.
    EXPECT_FALSE(x.WaitForWindow("QQ9XYZ Logbook v1.2", 20000).empty());
}
