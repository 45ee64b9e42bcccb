// Signing through an outside command (a hardware token, a key service) and reading passphrases.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Runs command with /bin/sh -c, the message on its standard input; signature gets its standard
// output (at most 64 KiB). Its standard error goes to ours, so a token can say what is wrong. False
// when it cannot start, exits other than 0, is killed, or takes longer than timeoutSeconds.
bool RunSignCommand(const std::string& command, const std::vector<uint8_t>& message, int timeoutSeconds,
                    std::vector<uint8_t>& signature, std::string& error);

// The passphrase from the first line of a file (line end removed) or from an environment variable;
// refuses an empty one.
bool ReadPassphraseFile(const std::string& path, std::string& passphrase, std::string& error);
bool ReadPassphraseEnv(const std::string& name, std::string& passphrase, std::string& error);
