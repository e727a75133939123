#pragma once

// Windows only: a seam for tests of what the code does when a system call
// fails or must be watched. Calls into the system go through this program's
// import slots; a test points a slot at its own function and back again.

/// Points this program's import slot of `function` at `replacement`; returns
/// what the slot held, or null when the program does not import it.
void* SwapImport(const char* function, void* replacement);
