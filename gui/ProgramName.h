// The program's names: the one its folders go by, and the title its message boxes carry.
#pragma once

// The application title, the caption of the program's message boxes.
inline constexpr char ProgramTitle[] = "Norvane Flash Device Upload";

// Names the running application "zupflshc" (the per-user data folder ~/.local/share/zupflshc) and
// ties it to its desktop entry. No display name is set: the window system's title would then be each
// window's own title followed by it, and "... FOR NORVANE MXR-2 - Norvane Flash Device Upload"
// names the program twice.
void NameTheProgram();
