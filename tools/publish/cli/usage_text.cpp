// The usage text of each command of quillor-publish, and the one table of exit codes.
#include "cli/usage_text.h"

const char kOverviewHead[] = "usage: quillor-publish COMMAND [OPTION]... ARGUMENT...\n"
                             "       quillor-publish help [COMMAND] | --version\n\n";

const char kCommonText[] =
    "Every command also takes --json (standard output carries only JSON Lines: progress events,\n"
    "and last one result object; see quillor-publish(1)) and --help (that command's usage).\n"
    "publish, stage, diff and verify show their progress on stderr when it is a terminal.\n";

// The one table of exit codes; every command keeps to it.
const char kExitText[] =
    "Exit status, the same in every command:\n"
    "  0  success (diff: the release holds the same files as the tree)\n"
    "  1  a failure, a refusal or a problem found (diff: the files differ)\n"
    "  2  a usage error (diff: also trouble reading the release or the tree)\n";

const char kKeygenUsage[] =
    "  keygen [--force] [--passphrase-file F] NAME\n"
    "      Makes a new RSA-2048 key pair (e = 65537): NAME.pem (private, mode 0600; encrypted\n"
    "      with the first line of F when given) and NAME.pub.pem (public). Existing files are\n"
    "      only replaced with --force, and then both or neither: a replacement that was\n"
    "      interrupted is completed by the next keygen or publish with this key.\n";

const char kPublishUsage[] =
    "  publish (--key PRIVATE.pem | --sign-command CMD --pub PUBLIC.pem) --serial N\n"
    "          [--pub PUBLIC.pem] [--passphrase-file F | --passphrase-env NAME]\n"
    "          [--sign-timeout SECONDS] [--checksum] [--force] [--no-blocks] [--jobs N]\n"
    "          [--message TEXT] [--keep N] RELEASE_DIR SERVER_DIR\n"
    "      Builds a new tree beside SERVER_DIR: files/ with every file of RELEASE_DIR,\n"
    "      manifest.txt and its signature manifest.sig; then swaps it in as a whole. Refuses a\n"
    "      serial below the highest ever published to SERVER_DIR (SERVER_DIR.publish-serial\n"
    "      keeps it and the manifest's digest), the same serial with other contents (--force\n"
    "      allows both), symbolic links, paths the updater or Windows would refuse, and paths\n"
    "      that differ only in letter case; warns about updater.cfg. One publish per SERVER_DIR\n"
    "      at a time (lock SERVER_DIR.lock). A publish that was killed is recovered by the\n"
    "      next one: a tree it had set aside comes back when SERVER_DIR is missing, and its\n"
    "      own leftovers beside SERVER_DIR are removed; re-running it just works.\n"
    "      --jobs N reads, hashes and copies on N threads (default: one per core).\n"
    "      Incremental: a file is taken over from the live tree (hard link, else reflink or\n"
    "      an in-kernel copy) without being read when the release file has the size and\n"
    "      modification time that SERVER_DIR.publish-record noted when the live copy was made,\n"
    "      and the live copy still has its recorded inode, size and modification time. That\n"
    "      is trusted, as rsync trusts it; everything else is read, hashed and copied (so is a\n"
    "      file modified later than a second before the previous publish began). A file changed by a\n"
    "      tool that keeps size and time (or a clock set back) is missed: --checksum hashes\n"
    "      every release file and every live copy it would take over.\n"
    "      A release file that changes while it is read is read again, then refused.\n"
    "      --sign-command runs CMD with /bin/sh -c, the manifest on its standard input; its\n"
    "      standard output must be the raw 256-byte signature, e.g.\n"
    "      \"openssl dgst -sha256 -sign key.pem\" or pkcs11-tool --sign -m SHA256-RSA-PKCS.\n"
    "      It runs in a process group of its own, which holds the terminal while it runs (so a\n"
    "      token can ask for its PIN); --sign-timeout (default 300) bounds its whole life, after\n"
    "      which it and everything it started are killed. Every signature is checked with --pub\n"
    "      (or the key's own public half) before the swap. Passphrases come from a file or an\n"
    "      environment variable, never the command line.\n"
    "      A stage beside SERVER_DIR stays open while its serial is above the live one: a\n"
    "      publish refuses the staged serial, and one above it closes the stage.\n"
    "      SERVER_DIR.history keeps the releases (publish, stage, promote and revert: the tree a\n"
    "      swap replaces moves there; bodies are shared hard links), each with --message TEXT\n"
    "      (one line, at most 200 bytes); --keep N (default 10) bounds it, never pruning the\n"
    "      live, the staged or the previous release.\n"
    "      patch/ beside files/ holds, for every body of at least 1 MiB, a hard link named by\n"
    "      its SHA-256 and its block file (SHA.blocks), from which updaters fetch only the\n"
    "      blocks they lack; the manifest's serial line offers them (serial N blocks=patch\n"
    "      min=1048576). A body taken over unchanged keeps its block file unread.\n"
    "      --no-blocks leaves both out, for a server that cannot answer byte ranges.\n";

const char kStageUsage[] =
    "  stage (--key PRIVATE.pem | --sign-command CMD --pub PUBLIC.pem) --serial N --share P\n"
    "        [--salt S] [--pub PUBLIC.pem] [--passphrase-file F | --passphrase-env NAME]\n"
    "        [--sign-timeout SECONDS] [--checksum] [--no-blocks] [--jobs N] [--message TEXT]\n"
    "        [--keep N] RELEASE_DIR SERVER_DIR\n"
    "      Publishes RELEASE_DIR into SERVER_DIR.stage (unchanged bodies hard-linked from the\n"
    "      live tree) for P per cent (1 to 100) of the players, chosen by their address; the\n"
    "      rest keep the live tree. N must be above the live serial; while a stage is open a new\n"
    "      one needs a higher serial, at least its share and its salt (fixed by the first stage,\n"
    "      random unless --salt S). nginx-site.conf follows the links in SERVER_DIR.cohorts.\n";

const char kRevertUsage[] =
    "  revert (--key PRIVATE.pem | --sign-command CMD --pub PUBLIC.pem) --to SERIAL --serial N\n"
    "         [--share P [--salt S]] [--message TEXT] [--keep N] [--pub PUBLIC.pem]\n"
    "         [--passphrase-file F | --passphrase-env NAME] [--sign-timeout SECONDS]\n"
    "         [--no-blocks] SERVER_DIR\n"
    "      Publishes the kept release of serial SERIAL again as serial N, live for everyone or\n"
    "      with --share as a stage, under the rules of publish and stage. Reads no body: its\n"
    "      manifest with the new serial, signed anew; its bodies and block files hard links of\n"
    "      the kept ones (a body kept without a block file is read once to make one).\n"
    "      diff --to SERIAL SERVER_DIR shows first what it sends to players.\n";

const char kHistoryUsage[] =
    "  history SERVER_DIR\n"
    "      The kept releases, newest first: serial, live/staged/kept, time, files, bytes, the\n"
    "      bytes a player on the release before downloads, manifest digest, message.\n";

const char kPruneUsage[] =
    "  prune [--keep N] SERVER_DIR\n"
    "      Removes the oldest kept releases until N (default 10) remain; never the live, the\n"
    "      staged or the previous one.\n";

const char kWidenUsage[] =
    "  widen --share P SERVER_DIR\n"
    "  widen --share P (--health LOG)... [--max-failed PCT] [--min-runs N] [--allow-few-runs]\n"
    "        SERVER_DIR\n"
    "      Gives the open stage to P per cent of the players; the share only grows. With\n"
    "      --health, reads those access logs first and refuses (stage-unhealthy) when the\n"
    "      stage's failed runs since it opened exceed the live release's by more than PCT\n"
    "      points (default 5), or (stage-too-few-runs) when it saw fewer than N update runs\n"
    "      (default 20) unless --allow-few-runs.\n";

const char kPromoteUsage[] =
    "  promote [--keep N] SERVER_DIR\n"
    "  promote [--keep N] (--health LOG)... [--max-failed PCT] [--min-runs N] [--allow-few-runs]\n"
    "          SERVER_DIR\n"
    "      Makes the staged release the live one for every player and closes the stage.\n"
    "      --health and its options gate it as they gate widen.\n";

const char kStatusUsage[] =
    "  status [--address A] SERVER_DIR\n"
    "      Live and staged serial, share, salt and the time of the last change; with an address,\n"
    "      its bucket and whether it gets the stage or the live release.\n";

const char kDiffUsage[] =
    "  diff [--checksum] [--timeout SECONDS] RELEASE_DIR SERVER_DIR|http://HOST:PORT/BASE\n"
    "  diff --to SERIAL SERVER_DIR\n"
    "      Lists what publishing RELEASE_DIR (or reverting to the kept release of SERIAL) would\n"
    "      change: added, changed and removed files, with the bytes a player on the live\n"
    "      release downloads. The manifest's transfer, redirects included, ends within\n"
    "      --timeout (default 600) seconds.\n";

const char kVerifyUsage[] =
    "  verify --key PUBLIC.pem [--expect-serial N] [--wait SECONDS] [--timeout SECONDS]\n"
    "          SERVER_DIR|http://HOST:PORT/BASE\n"
    "      Checks the signature, the manifest and every listed file; one line per problem.\n"
    "      With --wait, checks again every second until all is well (and the serial is N),\n"
    "      at most SECONDS long: the last step of a release pipeline, against an edge.\n"
    "      Like the updater it cuts the manifest at 64 MiB, the signature at 64 KiB and each\n"
    "      file at its listed size; each transfer ends within --timeout (default 600) seconds\n"
    "      and within the wait, up to 5 redirects to any host included.\n";

const char kServeUsage[] =
    "  serve [--bind ADDRESS] [--port N] SERVER_DIR\n"
    "      Development HTTP server for a server tree (default 127.0.0.1:8080; --port 0 picks a\n"
    "      free port). GET and HEAD only. Stops on Ctrl+C or SIGTERM.\n";

const char kSiteUsage[] =
    "  site [--bind ADDRESS] [--port N] [--edge ADDRESS]... [--access-log PATH] SERVER_DIR\n"
    "  site --vcl ORIGIN_HOST:PORT [SERVER_DIR]\n"
    "      Prints the nginx site for SERVER_DIR (default port 8080, every address; each --edge,\n"
    "      an address or CIDR block, is trusted to pass players' addresses and trees), or with\n"
    "      --vcl the Varnish VCL of an edge in front of that origin. The site writes a JSON\n"
    "      access log for report to PATH (default /var/log/nginx/quillor-access.json); the\n"
    "      VCL's header gives the varnishncsa -j command that writes the edge's.\n";

const char kReportUsage[] =
    "  report [--since T] [--until T] [--html FILE] [--addresses] SERVER_DIR LOG...\n"
    "      Reads the JSON access logs of the site and its edges (plain or gzip, rotated ones\n"
    "      too, in the order of their first lines) and reports per serial: addresses offered it, runs\n"
    "      complete, incomplete (ranked by where they stopped), refused after the signature,\n"
    "      up to date; the stage's measured share against its target; 404 and 5xx answers on\n"
    "      listed paths; bytes from the edge and the origin; and the adoption over time. Each\n"
    "      manifest answer is mapped to its serial by its ETag through the kept trees. T is\n"
    "      seconds since 1970 or a UTC time (2026-12-09, 2026-12-09T14:30Z). --json gives\n"
    "      every figure in the result's \"report\"; --html writes one self-contained page with\n"
    "      pictures. Addresses (samples per path where runs stopped) appear in the JSON and\n"
    "      the page only with --addresses.\n";

const char kBlobUsage[] =
    "  blob PUBLIC.pem OUT\n"
    "      Writes the 283-byte CNG RSAPUBLICBLOB of an RSA-2048 public key to OUT.\n";

const char kHelpUsage[] =
    "  help [COMMAND]\n"
    "      Prints the usage of COMMAND, or this overview.\n";
