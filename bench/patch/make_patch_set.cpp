// Writes the patch bench's two releases (old/ and new/), the same bytes for the same size every time.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A pack is a list of records; a record's bytes follow from its seed alone, so the old and the new
// pack share a record exactly where they share its seed.
struct Record {
    uint64_t seed;
    uint64_t size;
    uint64_t skipWords = 0;  // the record starts this many 8-byte words into its seed's stream
};

uint64_t SplitMix(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint64_t Below(uint64_t& state, uint64_t bound) { return SplitMix(state) % bound; }

bool Fail(const std::string& what) {
    std::fprintf(stderr, "make_patch_set: %s: %s\n", what.c_str(), std::strerror(errno));
    return false;
}

bool MakeParents(const std::string& path) {
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
        std::string dir = path.substr(0, at);
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return Fail("mkdir " + dir);
    }
    return true;
}

// Fixed times, older than any clock skew rule; a changed file gets the later one, as a rebuild would.
constexpr time_t kOldTime = 1767225600;  // 2026-01-01
constexpr time_t kNewTime = 1769904000;  // 2026-02-01

bool SetTime(const std::string& path, time_t when) {
    timespec times[2] = {{when, 0}, {when, 0}};
    return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0 || Fail("utimensat " + path);
}

bool WritePack(const std::string& path, const std::vector<Record>& records, time_t when) {
    if (!MakeParents(path)) return false;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return Fail("open " + path);
    std::vector<uint64_t> buffer(1 << 17);
    for (const Record& record : records) {
        uint64_t state = record.seed + record.skipWords * 0x9E3779B97F4A7C15ull;
        for (uint64_t left = record.size; left > 0;) {
            for (uint64_t& word : buffer) word = SplitMix(state);
            size_t now = static_cast<size_t>(std::min<uint64_t>(left, buffer.size() * 8));
            const char* data = reinterpret_cast<const char*>(buffer.data());
            for (size_t done = 0; done < now;) {
                ssize_t n = write(fd, data + done, now - done);
                if (n <= 0) return close(fd), Fail("write " + path);
                done += static_cast<size_t>(n);
            }
            left -= now;
        }
    }
    if (close(fd) != 0) return Fail("close " + path);
    return SetTime(path, when);
}

bool Link(const std::string& from, const std::string& to) {
    return MakeParents(to) && (link(from.c_str(), to.c_str()) == 0 || Fail("link " + to));
}

uint64_t Bytes(const std::vector<Record>& records) {
    uint64_t sum = 0;
    for (const Record& record : records) sum += record.size;
    return sum;
}

// Records of 4 KiB to 512 KiB (spread over sizes as a game's assets are) up to about target bytes.
std::vector<Record> MakeRecords(uint64_t& state, uint64_t target) {
    std::vector<Record> records;
    for (uint64_t sum = 0; sum < target;) {
        uint64_t size = (4096ull << Below(state, 8)) + Below(state, 4096);
        size = std::min(size, target - sum);
        records.push_back({SplitMix(state), size});
        sum += size;
    }
    return records;
}

struct Scenario {
    const char* row;
    std::string oldPath, newPath;
    uint64_t changedBytes;
};

// Records picked at random and rebuilt (one in ten of them a little longer) until about 1 % of the
// pack's bytes changed, and one 8-byte word changed in a few others, as a version stamp inside an
// asset is.
std::vector<Record> Scatter(uint64_t& state, const std::vector<Record>& old, uint64_t& changed) {
    std::vector<char> kind(old.size(), 0);
    for (uint64_t picked = 0, target = Bytes(old) / 100; picked < target;) {
        size_t at = Below(state, old.size());
        if (kind[at] == 0) kind[at] = 1, picked += old[at].size;
    }
    for (size_t j = 0, stamps = std::max<size_t>(2, old.size() / 500); j < stamps; ++j) {
        size_t at = Below(state, old.size());
        if (kind[at] == 0 && old[at].size >= 16) kind[at] = 2;
    }
    std::vector<Record> now;
    for (size_t i = 0; i < old.size(); ++i) {
        Record record = old[i];
        if (kind[i] == 1) {
            record.seed = SplitMix(state);
            if (Below(state, 10) == 0) record.size += Below(state, 8192);
            changed += record.size;
        } else if (kind[i] == 2) {
            uint64_t word = Below(state, record.size / 8 - 1);
            now.push_back({record.seed, word * 8});
            now.push_back({SplitMix(state), 8});
            record = {record.seed, record.size - word * 8 - 8, word + 1};
            changed += 8;
        }
        now.push_back(record);
    }
    return now;
}

}  // namespace

// make_patch_set OUT_DIR TOTAL_MIB: OUT_DIR/old and OUT_DIR/new, and OUT_DIR/scenarios.tsv with
// "row<TAB>old path<TAB>new path<TAB>bytes changed" for every file that differs.
int main(int argc, char** argv) {
    char* end = nullptr;
    uint64_t totalMiB = argc == 3 ? std::strtoull(argv[2], &end, 10) : 0;
    if (argc != 3 || end == argv[2] || *end != '\0' || totalMiB < 16) {
        std::fprintf(stderr, "usage: make_patch_set OUT_DIR TOTAL_MIB   (at least 16)\n");
        return 2;
    }
    std::string out = argv[1];
    uint64_t total = totalMiB << 20;
    uint64_t state = 0x51C0FFEEull;
    std::vector<Scenario> scenarios;

    struct Pack {
        const char* row;
        const char* path;
        uint64_t permille;
    };
    const Pack scattered[] = {{"scattered A", "data/world.pak", 350}, {"scattered B", "data/actors.pak", 200}};
    for (const Pack& pack : scattered) {
        std::vector<Record> old = MakeRecords(state, total * pack.permille / 1000);
        uint64_t changed = 0;
        std::vector<Record> now = Scatter(state, old, changed);
        if (!WritePack(out + "/old/" + pack.path, old, kOldTime) || !WritePack(out + "/new/" + pack.path, now, kNewTime))
            return 1;
        scenarios.push_back({pack.row, pack.path, pack.path, changed});
    }

    // An insertion near the start: a record of an odd size after the first 1 % of the pack.
    {
        std::vector<Record> old = MakeRecords(state, total * 150 / 1000), now = old;
        size_t at = 0;
        for (uint64_t sum = 0; at < now.size() && sum < Bytes(old) / 100; ++at) sum += now[at].size;
        Record inserted = {SplitMix(state), 100003};
        now.insert(now.begin() + static_cast<long>(at), inserted);
        if (!WritePack(out + "/old/data/sounds.pak", old, kOldTime) || !WritePack(out + "/new/data/sounds.pak", now, kNewTime))
            return 1;
        scenarios.push_back({"insertion", "data/sounds.pak", "data/sounds.pak", inserted.size});
    }
    // An append of about 1 % of the pack.
    {
        std::vector<Record> old = MakeRecords(state, total * 150 / 1000), now = old;
        std::vector<Record> added = MakeRecords(state, Bytes(old) / 100);
        now.insert(now.end(), added.begin(), added.end());
        if (!WritePack(out + "/old/data/textures.pak", old, kOldTime) || !WritePack(out + "/new/data/textures.pak", now, kNewTime))
            return 1;
        scenarios.push_back({"append", "data/textures.pak", "data/textures.pak", Bytes(added)});
    }
    // A pack rewritten whole: every record new, of the same sizes.
    {
        std::vector<Record> old = MakeRecords(state, total * 30 / 1000), now = old;
        for (Record& record : now) record.seed = SplitMix(state);
        if (!WritePack(out + "/old/data/shaders.pak", old, kOldTime) || !WritePack(out + "/new/data/shaders.pak", now, kNewTime))
            return 1;
        scenarios.push_back({"rewritten", "data/shaders.pak", "data/shaders.pak", Bytes(now)});
    }
    // A file moved to a new path, its bytes unchanged (the new release links the old file).
    {
        std::vector<Record> old = MakeRecords(state, total * 120 / 1000);
        if (!WritePack(out + "/old/data/video/intro.bik", old, kOldTime) ||
            !Link(out + "/old/data/video/intro.bik", out + "/new/movies/intro.bik"))
            return 1;
        scenarios.push_back({"moved", "data/video/intro.bik", "movies/intro.bik", 0});
    }
    // 1,000 small files of 1 to 16 KiB; 10 of them change.
    for (int i = 0; i < 1000; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "data/ui/%02d/item%04d.dat", i / 100, i);
        std::vector<Record> old = {{SplitMix(state), 1024 + Below(state, 15 * 1024)}};
        if (!WritePack(out + "/old/" + name, old, kOldTime)) return 1;
        if (i % 100 == 37) {
            std::vector<Record> now = {{SplitMix(state), 1024 + Below(state, 15 * 1024)}};
            if (!WritePack(out + "/new/" + name, now, kNewTime)) return 1;
            scenarios.push_back({"small files", name, name, now[0].size});
        } else if (!Link(out + "/old/" + name, out + "/new/" + name)) {
            return 1;
        }
    }

    FILE* table = std::fopen((out + "/scenarios.tsv").c_str(), "w");
    if (table == nullptr) return Fail("scenarios.tsv"), 1;
    for (const Scenario& s : scenarios)
        std::fprintf(table, "%s\t%s\t%s\t%llu\n", s.row, s.oldPath.c_str(), s.newPath.c_str(),
                     static_cast<unsigned long long>(s.changedBytes));
    return std::fclose(table) == 0 ? 0 : 1;
}
