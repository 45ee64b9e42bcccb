// A key pair's two files, replaced so that a kill never leaves halves of two keys for their users.
#pragma once
#include <string>

// "keys/quillor" for "keys/quillor.pem" or "keys/quillor.pub.pem"; "" for any other name.
std::string KeyPairNameOf(const std::string& keyPath);

// Completes a replacement of NAME.pem and NAME.pub.pem that keygen committed but did not finish
// (its journal NAME.keygen-journal is still there). note gets one line when it did. False when it
// could not: the pair must not be used then.
bool CompleteKeyReplacement(const std::string& name, std::string& note, std::string& error);

// For every command that reads a key file: completes an interrupted replacement of the pair that
// keyPath belongs to (a note on stderr when it did), so no command ever reads one half of a pair
// being replaced. False when the pair could not be completed; it must not be read then.
bool PrepareKeyPair(const std::string& keyPath, std::string& error);

// Removes the temporary files a killed keygen left beside NAME (after CompleteKeyReplacement).
void RemoveKeyLeftovers(const std::string& name);

// Puts privateText at NAME.pem (mode 0600) and publicText at NAME.pub.pem, whose names must be
// missing or regular files. Both temporary files are written and flushed first; a journal naming
// them then commits the new pair; both are renamed into place and the journal removed. A kill
// before the commit leaves the old pair, one after it a new pair that CompleteKeyReplacement
// finishes. The two names cannot change in one step: between the renames NAME.pem is new and
// NAME.pub.pem old, until the next keygen or publish completes the pair.
bool InstallKeyPair(const std::string& name, const std::string& privateText, const std::string& publicText,
                    std::string& error);
