#pragma once

#include <string>

/// The built program the fault tests run, from --program= on the command line.
extern std::string g_program;
