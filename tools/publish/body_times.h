// Modification times of a new server tree, which web servers turn into ETag and Last-Modified.
#pragma once
#include "publish.h"

#include <string>
#include <vector>

// Gives every file of the fresh tree at root a modification time that edge caches can trust:
// a file whose bytes the live tree at serverDir already serves (same path, size and digest)
// keeps the live file's time, so caches revalidate it with a 304; every other file, and
// manifest.txt and manifest.sig, get one time at least a whole second later than anything
// the live tree was published with, so their validators differ even for the same size.
bool SetBodyTimes(const std::string& root, const std::string& serverDir,
                  const std::vector<PublishedFile>& files, std::string& error);
