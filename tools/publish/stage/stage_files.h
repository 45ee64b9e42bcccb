// The files of a staged site beside its live tree: the bucket links, and whole trees copied by hard link.
#pragma once
#include "stage/stage_state.h"
#include "tree/tree_swap.h"

#include <string>

std::string CohortsPathFor(const std::string& serverDir);    // SERVER_DIR.cohorts

// The mark every stage tree of SERVER_DIR carries beside its manifest (never served): the file
// kStageMarkName holding StageMarkText(serverDir). A SERVER_DIR.stage without it is not ours.
extern const char kStageMarkName[];
std::string StageMarkText(const std::string& serverDir);
// Whether SERVER_DIR.stage exists without the mark: a folder the publisher did not make, never
// touched. False (with error) when the mark cannot be read: a guess either way moves buckets.
bool IsForeignStage(const std::string& serverDir, bool& foreign, std::string& error);

// How many bucket links of SERVER_DIR.cohorts name the stage tree; -1 without that folder.
int CountStagedLinks(const std::string& serverDir);

// Sets every link of SERVER_DIR.cohorts (made when missing): with open, the "stage" link and the
// first share buckets of its order name the stage tree; without, all name the live tree; "live"
// always does. moved counts the links that changed. Call with the site's lock held.
bool PointCohorts(const std::string& serverDir, const StageState* open, int& moved, std::string& error);

// Hard-links every file of the tree from into the empty folder to (folders are made anew).
bool LinkTreeCopy(const std::string& from, const std::string& to, std::string& error);

// A fresh hard-linked copy of the tree from beside destination, under an own temporary name of
// destination (flushed; what an interrupted run leaves goes with RemoveLeftovers(destination));
// "" with error on failure. With stageOf (a server folder) the copy gets the mark of its stage
// before its manifest, so it is never a finished tree without it.
std::string MakeLinkedCopy(const std::string& from, const std::string& destination, std::string& error,
                           const std::string& stageOf = "");

// The publish record of the tree from, as a temp file beside to's record (a linked copy's files
// keep their inodes, so it holds for the copy); temp is "" when from has none.
bool CopyRecordBeside(const std::string& from, const std::string& to, std::string& temp, std::string& error);

// Renames temp (from CopyRecordBeside) over serverDir's record; with no temp, removes that record.
bool PlaceRecord(const std::string& temp, const std::string& serverDir, std::string& error);
