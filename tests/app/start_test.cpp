// The start of the program: a missing or broken Windows Sockets module is
// named at once, with the folders looked in; the program carries its icon.
#include "app/module_check.h"
#include "app/program_icon.h"
#include "tests/support/child_process.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QWidget>

#include <filesystem>
#include <fstream>
#include <unistd.h>

using namespace testpeer;
namespace fs = std::filesystem;

namespace {

// The program and the one library it links from the build, copied into a
// folder of their own, without the modules.
struct ProgramCopy {
    fs::path Dir = fs::path(testing::TempDir()) / ("qsologbook_" + std::to_string(getpid()));
    ProgramCopy() {
        fs::remove_all(Dir);
        fs::create_directories(Dir);
        for (const char* file : {"qsologbook", "libplatform_win32.so"})
            fs::copy_file(BuildProgram(file), Dir / file);
    }
    ~ProgramCopy() { fs::remove_all(Dir); }
};

} // namespace

TEST(ModuleCheck, AllModulesBesideTheProgramLoad) {
    EXPECT_EQ(ModuleProblem(), "");
}

TEST(ModuleCheck, AMissingModuleIsNamedWithTheFoldersLookedIn) {
    ProgramCopy copy;
    BackgroundChild program({(copy.Dir / "qsologbook").string()});
    ASSERT_TRUE(program.WaitForOutput("reinstall the program.", 20000)) << program.Output();
    const std::string& out = program.Output();
    EXPECT_NE(out.find("qsologbook: The module wsock32.dll (libwsock32.so) could not be loaded: "
                       "it is in none of the folders where the program looks for it:\n    " +
                       copy.Dir.string() + "\n    "),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("/lib/qsologbook\n"), std::string::npos) << out;
    // Nothing about the network: no upload was tried.
    EXPECT_EQ(out.find("Conexiune"), std::string::npos);
}

// Started outside a login session, as under xvfb-run, neither program says
// a word about the runtime folder the environment does not name.
TEST(ProgramStart, NothingIsSaidOfAMissingRuntimeFolder) {
    ProgramCopy copy;
    const std::vector<std::pair<std::vector<std::string>, std::string>> programs{
        // Without its modules the program says so once Qt has started.
        {{(copy.Dir / "qsologbook").string()}, "reinstall the program."},
        {{BuildProgram("logbook-service"), "--listen", "127.0.0.1:" + std::to_string(FreePort())},
         "listening on"},
    };
    for (const auto& [argv, started] : programs) {
        std::vector<std::string> command{"/usr/bin/env", "-u", "XDG_RUNTIME_DIR"};
        command.insert(command.end(), argv.begin(), argv.end());
        BackgroundChild program(command);
        ASSERT_TRUE(program.WaitForOutput(started, 20000)) << program.Output();
        EXPECT_EQ(program.Output().find("XDG_RUNTIME_DIR"), std::string::npos) << program.Output();
    }
}

TEST(ModuleCheck, AModuleThatCannotBeOpenedGivesTheLoadersReason) {
    ProgramCopy copy;
    std::ofstream(copy.Dir / "libwsock32.so") << "not a shared library";
    BackgroundChild program({(copy.Dir / "qsologbook").string()});
    ASSERT_TRUE(program.WaitForOutput("reinstall the program.", 20000)) << program.Output();
    const std::string& out = program.Output();
    EXPECT_NE(out.find("(libwsock32.so) could not be loaded:\n    " + copy.Dir.string() +
                       "/libwsock32.so: "),
              std::string::npos)
        << out;
}

TEST(ProgramIcon, EveryWindowGetsTheIconInItsSizes) {
    int argc = 1;
    char name[] = "app_tests";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    InstallProgramIcon();
    const QIcon icon = QApplication::windowIcon();
    ASSERT_FALSE(icon.isNull());
    for (int size : {16, 32, 48, 256})
        EXPECT_TRUE(icon.availableSizes().contains(QSize(size, size))) << size;
    QWidget window;
    EXPECT_EQ(window.windowIcon().cacheKey(), icon.cacheKey());
}
