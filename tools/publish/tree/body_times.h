// Modification times of a new server tree, which web servers turn into ETag and Last-Modified.
#pragma once
#include "tree/copy_engine.h"
#include "update/manifest.h"

#include <ctime>
#include <string>
#include <string_view>

// Gives every file of the fresh tree a modification time that edge caches can trust as a
// validator (web servers build ETag and Last-Modified from it): a file whose bytes the live tree
// at serverDir already serves (same path, size and digest, and not liveDiffers: its live copy was
// found to hold other bytes than its manifest entry) keeps the live file's time, so caches
// revalidate it with a 304; every other body gets a time later, in whole seconds, than any body
// the live tree or its predecessors ever held and than the live copy at its path (its own if that
// already is, else now or one second past the later of those), so its validators differ even for
// the same size in the same second. otherTree (may be empty) is the site's other tree (the stage
// beside the live tree, or the reverse): new bodies are later than its bodies too, since an edge
// may keep both trees' objects.

// What those times are measured against, read once per tree.
struct BodyTimeBounds {
    std::string serverDir;
    timespec liveManifest{};  // zero when the live tree has no manifest
    time_t bound = 0;         // the later manifest time of the live and the other tree
    timespec fresh{};         // a new body's time where its own is not later than every bound
};
void ReadBodyTimeBounds(const std::string& serverDir, const std::string& otherTree, BodyTimeBounds& bounds);

// One body of the fresh tree.
struct BodyFile {
    const std::string& path;       // relative, as in the manifest
    const std::string& fullPath;   // in the fresh tree
    std::string_view sha256;
    uint64_t size;
    const ManifestEntry* live;     // the live manifest's line for path, or null
    bool sharesLiveInode;          // a hard link of the live copy: that copy's stamp is stamp
    bool liveDiffers;
};

// Gives one body its time; stamp is its stamp as made and gets the stamp it is left with; latest
// (start it at bounds.fresh) gets the latest whole second of the tree, the time for manifest.txt
// and manifest.sig.
bool SetBodyTime(const BodyTimeBounds& bounds, const BodyFile& file, FileStamp& stamp, timespec& latest,
                 std::string& error);

// Gives root's manifest.txt and manifest.sig the time latest, so the next publish can tell the
// bodies of this tree from newer ones.
bool SetManifestTimes(const std::string& root, const timespec& latest, std::string& error);
