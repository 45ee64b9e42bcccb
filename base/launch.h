// Starting the game through the shell once the update is done.
#pragma once

// Logs "launching %s" and opens installDir\gameExe with installDir as working directory (beyond
// MAX_PATH by their short names, or through CreateProcessW). Never reports failure and never
// waits for the game.
void LaunchGame();
