// Stable codes for the publisher's messages, so that a pipeline reading --json need not parse prose.
#include "core/problem_codes.h"

const std::vector<ProblemRule>& ProblemRules() {
    // Needles are the fixed parts of the messages the publisher's functions write; the man page's
    // JSON OUTPUT section lists the same codes.
    static const std::vector<ProblemRule> kRules = {
        {"", " is held: another publish", "lock-busy"},
        {"", " is lower than the published serial ", "serial-too-low"},
        {"", "a stage must be above the live ", "serial-too-low"},
        {"", " is staged; a new stage needs a higher serial", "serial-too-low"},
        {"", " before with other contents", "serial-reused"},
        {"", " is staged; promote it", "serial-staged"},
        {"", "the sign command took longer than ", "sign-command-timeout"},
        {"", "the sign command ", "sign-command-failed"},
        {"", "the new signature does not verify", "signature-invalid"},
        {"", " bytes, not the raw 256 ", "signature-invalid"},
        {"", "manifest.sig: not a valid signature", "signature-invalid"},
        {"", "wrong passphrase", "passphrase-wrong"},
        {"", "is protected by a passphrase", "passphrase-needed"},
        {"", "holds no passphrase", "passphrase-missing"},
        {"", "the environment variable ", "passphrase-missing"},
        {"", "already exists (use --force", "key-exists"},
        {"", "not a PEM ", "key-invalid"},
        {"", "not an RSA key", "key-invalid"},
        {"", "symbolic link in the release", "release-symlink"},
        {"", "release folder not found", "release-missing"},
        {"", "is a reserved device name", "release-path-refused"},
        {"", "path cannot exist on Windows", "release-path-refused"},
        {"", "ends in a dot or blank", "release-path-refused"},
        {"", "differ only in case", "release-path-refused"},
        {"", "path is not valid UTF-8", "release-path-refused"},
        {"", "unsafe path", "release-path-refused"},
        {"", "path clashes with the updater's own files", "release-path-refused"},
        {"", "a file becomes a folder: ", "release-file-folder-change"},
        {"", "a folder becomes a file: ", "release-file-folder-change"},
        {"", "size differs: ", "file-mismatch"},
        {"", "digest differs: ", "file-mismatch"},
        {"verify", "missing: ", "file-missing"},
        {"", "refused by the updater's parser", "manifest-invalid"},
        {"", "request failed (", "fetch-failed"},
        {"", "no such server folder", "server-dir-missing"},
        {"", "no kept release of serial ", "not-kept"},
        {"verify", "serves serial ", "serial-unexpected"},
        {"verify", "the time to wait ran out", "wait-timeout"},
        {"", "publish a live release first", "not-published"},
        {"", "no stage is open in ", "no-stage"},
        {"", "the share only grows", "share-narrower"},
        {"", " (it lacks the mark ", "stage-not-ours"},
        {"", " this is the name of its stage tree", "server-dir-refused"},
        {"", "is not an IPv4 or IPv6 address", "address-invalid"},
        {"serve", "cannot listen on ", "listen-failed"},
    };
    return kRules;
}

std::string FallbackProblemCode(const std::string& command) {
    return (command.empty() ? std::string("command") : command) + "-failed";
}

std::string ProblemCodeFor(const std::string& command, const std::string& message) {
    for (const ProblemRule& rule : ProblemRules())
        if ((*rule.command == '\0' || command == rule.command) && message.find(rule.needle) != std::string::npos)
            return rule.code;
    return FallbackProblemCode(command);
}
