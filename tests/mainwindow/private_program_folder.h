// Runs the test program from a private copy of the program folder, with a
// private HOME and TMPDIR, so that tests which write LastSetting.xml or
// delete the camera library run in parallel without meeting.
#pragma once

#include <string>
#include <vector>

namespace tavrin::test {

// True when this process already runs from a private copy.
bool InPrivateFolder();
// Copies the program folder (this program, libTavrinLens.so, Language/)
// into a fresh folder, adds a data-source module and cfgInfo.xml, runs the
// copy there with the same arguments and returns its exit status.
int RunInPrivateFolder(int argc, char** argv, const std::vector<std::string>& extraEnv = {});

// The private root (holding bin/, home/, tmp/ and cameras.txt).
std::string PrivateRoot();
// Folder of the running program, without trailing separator.
std::string ProgramFolder();
// The file TAVRIN_LENS_VIRTUAL_FILE names.
std::string CameraListPath();

}  // namespace tavrin::test
