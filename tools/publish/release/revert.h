// What the history shows: the kept releases, and what a revert to one of them sends to players.
#pragma once
#include <cstdint>
#include <string>

// The listing of `history SERVER_DIR`: one line per kept release, newest first.
bool HistoryListing(const std::string& serverDir, std::string& text, std::string& error);

// `diff --to SERIAL SERVER_DIR`: the files a revert to the kept release of serial changes for a
// player on the live release, and the bytes it downloads. Exit 0: the same files, 1: differences,
// 2: trouble.
int DiffToKept(const std::string& serverDir, uint64_t serial);
