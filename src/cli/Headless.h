#pragma once

// The headless commands ("camera-setup list ...", later "install"). argv[0] is the program, argv[1] the
// command. Returns the process exit status: 0 done, 1 the command could not do its work, 2 bad arguments.
int RunHeadless(int argc, char** argv);
