// The installed layout, used as a user would: installed into a fresh prefix,
// the tools talk to each other and the program opens its window, with its
// icon, on an X server of the test's own.
#include "tests/support/child_process.h"
#include "tests/support/server_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
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
    if (std::string validate = FindProgram("desktop-file-validate"); !validate.empty()) {
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
