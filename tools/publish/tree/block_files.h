// The patch/ folder of a server tree: per large body a hard link to it and its block file.
#pragma once
#include "core/block_maker.h"

#include <cstdint>
#include <string>
#include <vector>

// "patch/<sha256>" and "patch/<sha256>.blocks" below a tree.
std::string PatchBodyPath(const std::string& tree, const std::string& sha256);
std::string BlockFilePath(const std::string& tree, const std::string& sha256);

// Writes a block file into the patch/ folder of a tree being built (never a live one, so no
// temporary name is needed: the whole tree is the publisher's marked leftover until it is swapped
// in). One that is there already, written for another file with the same body, is kept.
bool WriteBlockFile(const std::string& tree, const std::string& sha256, const std::vector<uint8_t>& bytes,
                    std::string& error);

// Whether the open file fd is a block file for the body sha256 of bodySize bytes: its header and
// its size agree (the records are not read).
bool BlockFileFits(int fd, const std::string& sha256, uint64_t bodySize);

// One distinct body of a new tree at or above the offer's threshold.
struct PatchBody {
    std::string sha256;
    uint64_t size = 0;
    std::string path;  // a manifest path that holds it, under files/
};

struct PatchCounts {
    uint64_t bodies = 0;      // bodies that have patch/ entries
    uint64_t reused = 0;      // block files linked from an earlier tree
    uint64_t made = 0;        // block files made here by reading the body (none had one)
    uint64_t blockBytes = 0;  // bytes of all block files of the tree
};

// Completes TREE/patch (made here when missing) for bodies (duplicates allowed): the hard link of
// each body, and its block file where none was written while the body was read: a hard link of
// the one in the first of sources (earlier trees; missing ones are skipped) whose block file fits
// (BlockFileFits), else one made by reading the body in TREE, on at most jobs threads (0: all
// cores). False with a reason; the tree is then the caller's to remove.
bool FillPatchFolder(const std::string& tree, const std::vector<PatchBody>& bodies,
                     const std::vector<std::string>& sources, unsigned jobs, PatchCounts& counts, std::string& error);
