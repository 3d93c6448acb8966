// /FLEET <folder>: the view of a fleet's run reports collected in one folder
// (the share the unattended batch file copies them to).
#pragma once

// Reads every report (*.json) in folder, prints one line a machine, worst
// first, and writes fleet.html and fleet.csv into folder. Answers 0 when the
// view was written, 3 when no folder was named, it cannot be read whole, or
// the view cannot be written there.
int ShowFleet(const char *folder);
