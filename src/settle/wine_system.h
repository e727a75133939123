#pragma once

// Windows only.

/// Whether the program runs under Wine on Linux, where Linux's /proc can be
/// read through Wine's "\\?\unix\" paths. Learnt once per run.
bool IsWineOnLinux();
