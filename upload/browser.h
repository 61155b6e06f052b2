// Opens a page in the web browser registered for HTML files.
#pragma once

#include "framework/exception.h"

#include <string>

DECLARE_EXCEPTION_CLASS(ERegistryException, Exception)

// Reads the registered command, takes the program path out of its first pair
// of double quotes and starts it with the address as its only parameter.
// False when no command is registered; true otherwise, also when the launch
// itself fails. A registered value that is not text raises
// ERegistryException "Invalid data type for ''".
bool OpenInBrowser(const std::string& address);
