#pragma once

#include <string>

// Sounds of the program: played by an audio player of the system, where one and a sound device
// exist; otherwise silently nothing.
namespace harbolt {

// Where the program's own files (icons, sounds) are: the installed share/harbolt directory
// beside the executable's bin directory, else the executable's directory (a build tree).
std::string ProgramDirectory();

// The file a sound name stands for: the name itself when such a file exists, else the name in
// programDirectory; empty when neither exists.
std::string SoundFilePath(const std::string& name, const std::string& programDirectory);

// The first of the players Harbolt knows (paplay, aplay) found on searchPath (a PATH value),
// as a full path; empty when none is there.
std::string FindSoundPlayer(const std::string& searchPath);

// Plays the file (UTF-8 name) asynchronously, as PlaySoundFile of the desktop does: nothing when
// the file, a sound device or a player is missing.
void PlaySoundFile(const std::string& name);

} // namespace harbolt
