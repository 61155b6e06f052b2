// The start-up check of the stand-in Windows Sockets modules. Without them
// every upload would fail as if the network were down; the operator is told
// at start which module is missing and where the program looked instead.
#pragma once

#include <string>

// The message for the first module that cannot be loaded; empty when both
// load.
std::string ModuleProblem();

// Runs the check; a problem goes to standard error and into an error box
// captioned with the application title. Returns whether all modules loaded.
bool CheckModulesAtStart();
