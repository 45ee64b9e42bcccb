// The key commands: keygen (a new key pair) and blob (the key as the updater builds it in).
#include "keys/key_commands.h"

#include "core/fs_util.h"
#include "core/output.h"
#include "keys/crypto.h"
#include "keys/key_files.h"
#include "keys/signer.h"

#include <cstdio>
#include <string>
#include <vector>

int RunKeygen(const Args& args) {
    if (args.positionals.size() != 1) return Usage("keygen needs exactly one NAME");
    const std::string& name = args.positionals[0];
    std::string error, passphrase;
    std::string passphraseFile = Option(args, "--passphrase-file", "");
    if (!passphraseFile.empty() && !ReadPassphraseFile(passphraseFile, passphrase, error)) return Fail(error);
    std::string note;
    if (!CompleteKeyReplacement(name, note, error)) return Fail(error);
    if (!note.empty()) std::fprintf(stderr, "%s\n", note.c_str());
    RemoveKeyLeftovers(name);
    if (!GenerateKeyPair(name, HasFlag(args, "--force"), passphraseFile.empty() ? nullptr : &passphrase, error))
        return Fail(error);
    std::fprintf(HumanOut(), "wrote %s.pem (private, keep it secret) and %s.pub.pem\n", name.c_str(), name.c_str());
    ResultText("private_key", name + ".pem");
    ResultText("public_key", name + ".pub.pem");
    ResultBool("encrypted", !passphraseFile.empty());
    return 0;
}

int RunBlob(const Args& args) {
    if (args.positionals.size() != 2) return Usage("blob needs PUBLIC.pem and OUT");
    PkeyPtr key;
    std::vector<uint8_t> blob;
    std::string error;
    if (!LoadVerifyKey(args.positionals[0], key, error) || !BuildPublicBlob(key.get(), blob, error) ||
        !WriteFileAtomic(args.positionals[1], blob.data(), blob.size(), 0644, false, error))
        return Fail(error);
    std::fprintf(HumanOut(), "wrote %zu bytes to %s\n", blob.size(), args.positionals[1].c_str());
    ResultText("out", args.positionals[1]);
    ResultNumber("bytes", blob.size());
    return 0;
}
