// Putting a server tree under its name: the swap, crash recovery, and removal of own leftovers.
#pragma once
#include <openssl/evp.h>

#include <string>

enum class SwapResult { Swapped, Unflushed, Unchanged, Lost };

// Puts fresh (a finished tree, already flushed to disk) under serverDir's name and then flushes the
// folder. With the exchange (tryExchange and a file system that has it) the name holds the whole
// old or the whole new tree at every moment; otherwise the old tree is first moved aside under an
// own ".old" name, which recovery puts back after a crash in between. oldTree gets where the old
// tree now lies (to be removed by the caller). Unflushed: fresh is under the name but the folder
// could not be flushed (error says why). Lost: neither tree is under the name; error says where both are.
SwapResult SwapIn(const std::string& fresh, const std::string& serverDir, bool tryExchange,
                  std::string& oldTree, std::string& error);

// Whether path is a finished server tree: manifest.txt and manifest.sig are files, files/ a folder.
bool IsFinishedTree(const std::string& path);

// Makes everything below path durable: one syncfs of its file system.
bool FlushTree(const std::string& path, std::string& error);
// The same through fd, a descriptor of path opened before its files were written, so that a
// write-back error of any of them is reported.
bool FlushOpenTree(int fd, const std::string& path, std::string& error);

// Runs under the lock, before anything else changes serverDir's folder. When serverDir is missing
// or not a finished tree and an own tree lies beside it, puts the right one back: the one that was
// live (set aside by a swap), else the newest tree that is whole (every listed file with its size,
// and its digest where the record cannot vouch for it), signed with key and not below the serial
// memory. Without key only a tree that was live comes back. note gets one line saying what came
// back ("" when nothing). False when a tree should come back but could not; error says why.
bool RecoverServerDir(const std::string& serverDir, EVP_PKEY* key, std::string& note, std::string& error);

// Whether a RecoverServerDir of this process put a tree back, so no later message calls the folder unchanged.
bool RecoveredThisRun();

// Removes an own tree so that a crash halfway never leaves what counts as a finished tree: its
// manifest goes first, durably, then the rest.
bool RemoveOwnTree(const std::string& tree, std::string& error);

// Removes the own leftovers beside serverDir: trees, set-aside trees and temporary files whose
// names bear the publisher's mark (OwnTempName). serverDir itself and every other name are never
// touched. With keepFinished (a run without the key, which cannot tell a tree that recovery would
// put back) finished trees stay while serverDir is not a finished tree. One line on stderr per
// removal or failure.
void RemoveLeftovers(const std::string& serverDir, bool keepFinished = false);

// SERVER_DIR.stage: the staged tree beside the live one (never served but through the bucket links).
std::string StageTreePathFor(const std::string& serverDir);

// Moves a tree aside in one rename, under an own temporary name of RetiredBaseFor(tree), which
// recovery never puts back, then removes it (an interrupted removal: RemoveLeftovers of that base).
bool RetireTree(const std::string& tree, std::string& error);
std::string RetiredBaseFor(const std::string& tree);
