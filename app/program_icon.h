// The program's own icon: the same pictures the desktop entry's theme icon
// uses (app/icons), built into the program so that it shows them also when
// run from the build folder.
#pragma once

#include <QIcon>

QIcon ProgramIcon();

// Gives every window of the application the program icon.
void InstallProgramIcon();
