// Modification times of a new server tree, which web servers turn into ETag and Last-Modified.
#pragma once
#include "publish.h"

#include <ctime>
#include <set>
#include <string>
#include <vector>

// Gives every file of the fresh tree at root a modification time that edge caches can trust
// as a validator (web servers build ETag and Last-Modified from it): a file whose bytes the live
// tree at serverDir already serves (same path, size and digest, and not in liveDiffers, the paths
// whose live copy was found to hold other bytes than its manifest entry) keeps the live file's
// time, so caches revalidate it with a 304; every other body gets a time later, in whole seconds,
// than any body the live tree or its predecessors ever held and than the live copy at its path
// (its own if that already is, else now or one second past the later of those), so its
// validators differ even for the same size in the same second.
// latest gets the time for manifest.txt and manifest.sig: the latest of the tree.
bool SetBodyTimes(const std::string& root, const std::string& serverDir, const std::vector<PublishedFile>& files,
                  const std::set<std::string>& liveDiffers, timespec& latest, std::string& error);

// Gives root's manifest.txt and manifest.sig the time latest, so the next publish can tell the
// bodies of this tree from newer ones.
bool SetManifestTimes(const std::string& root, const timespec& latest, std::string& error);
