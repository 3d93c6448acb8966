// /FLEET <reports folder> [<output folder>] [/STALE <days>] [/EXPECT <file>]:
// the view of a fleet's run reports collected in one folder (the share the
// unattended batch file copies them to).
#pragma once

// Reads every entry of the reports folder (args[0]): each report (*.json),
// each machine's earlier runs (<machine>\*.json), and names every other entry
// but the logs as unreadable; prints one line a machine, worst first, and
// writes fleet.html, fleet.csv and fleet-sha256.csv, each as a new file, into
// the output folder, or without one into a new folder of the user's own under
// the temporary folder: never where the machines write unasked. count is the
// number of args (what followed /FLEET). Answers 0 when the view was written,
// 3 when the command is not whole, the folder cannot be read whole, more
// entries are there than are read, or the view cannot be written.
int ShowFleet(int count, char **args);
