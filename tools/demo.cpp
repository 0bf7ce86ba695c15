// kindex demo [DIR]: a product catalogue as a data file, built and used
// through the public interface, with timings.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "filefacts.h"
#include "tool.h"

namespace kxtool {

namespace {

constexpr int RootId = 1;        // int32, unique
constexpr int RootName = 2;      // case-blind string, duplicates
constexpr int RootCategory = 3;  // compound: category ascending, price descending

const char* const kAdjectives[] = {"Sturdy", "Compact", "Deluxe",  "Classic", "Rustic", "Modern",     "Folding",
                                   "Eco",    "Pocket",  "Premium", "Basic",   "Vintage", "Smart",     "Portable",
                                   "Quiet",  "Bright",  "Mini",    "Grand",   "Swift",   "Heavy-Duty"};
const struct {
    const char* category;
    const char* nouns[5];
} kGoods[] = {
    {"garden", {"Garden Hose", "Rake", "Trowel", "Planter", "Sprinkler"}},
    {"kitchen", {"Kettle", "Whisk", "Skillet", "Colander", "Teapot"}},
    {"office", {"Stapler", "Desk Lamp", "Notebook", "Pen Set", "Organizer"}},
    {"outdoor", {"Tent", "Lantern", "Backpack", "Hammock", "Cooler"}},
    {"tools", {"Hammer", "Wrench", "Drill", "Saw", "Spirit Level"}},
};

// The record and its data list.
struct Product {
    int32_t id = 0;
    char name[40] = "";
    char category[16] = "";
    int32_t price = 0;  // cents
    int16_t stock = 0;
};

struct Catalogue {
    Product p;
    KXSEGMENT by_category[3];
    KXROOTLIST roots[4];
    KXDLIST list[7];
    uint8_t record_buffer[256];
    KXCB cb;

    Catalogue() {
        std::memset(by_category, 0, sizeof by_category);
        by_category[0].key_type = 0;  // the category, ascending
        by_category[0].field_index = 2;
        by_category[0].max_length = 15;
        by_category[1].key_type = 5;  // the price, descending: dearest first
        by_category[1].field_index = 3;
        by_category[1].descending = 1;
        by_category[2].key_type = 31;
        roots[0] = {RootId, 5, nullptr};
        roots[1] = {RootName, 1, nullptr};
        roots[2] = {RootCategory, 8, by_category};
        roots[3] = {0, 0, nullptr};
        list[0] = {'L', 5, 'U', 4, RootId, &p.id};
        list[1] = {'S', 1, 'D', static_cast<int16_t>(sizeof p.name), RootName, p.name};
        list[2] = {'S', 'N', 'N', static_cast<int16_t>(sizeof p.category), 0, p.category};
        list[3] = {'L', 'N', 'N', 4, 0, &p.price};
        list[4] = {'I', 'N', 'N', 2, 0, &p.stock};
        list[5] = {'X', 8, 'D', 0, RootCategory, nullptr};
        list[6] = {};
        list[6].type = 'E';
        std::memset(&cb, 0, sizeof cb);
    }

    // Product number i (from 0), the same on every run.
    void make(uint32_t i) {
        uint32_t x = i * 2654435761u + 12345u;
        x ^= x >> 15;
        x *= 2246822519u;
        x ^= x >> 13;
        const auto& g = kGoods[x % 5];
        std::snprintf(p.name, sizeof p.name, "%s %s", kAdjectives[(x >> 3) % 20], g.nouns[(x >> 8) % 5]);
        std::snprintf(p.category, sizeof p.category, "%s", g.category);
        p.id = static_cast<int32_t>(i + 1);
        p.price = static_cast<int32_t>(99 + (x >> 11) % 49901);
        p.stock = static_cast<int16_t>((x >> 20) % 250);
    }
};

std::string money(int32_t cents) {
    char b[32];
    std::snprintf(b, sizeof b, "%d.%02d", cents / 100, cents % 100);
    return b;
}

std::string shown(const Product& p) {
    char b[128];
    std::snprintf(b, sizeof b, "id %-6d %-26s %-8s %8s  stock %d", p.id, p.name, p.category, money(p.price).c_str(),
                  p.stock);
    return b;
}

std::string took(double seconds) {
    char b[32];
    if (seconds >= 1)
        std::snprintf(b, sizeof b, "%.2f s", seconds);
    else if (seconds >= 0.001)
        std::snprintf(b, sizeof b, "%.1f ms", seconds * 1e3);
    else
        std::snprintf(b, sizeof b, "%.0f us", seconds * 1e6);
    return b;
}

int failed(KXCB* cb, const std::string& path, const std::string& what, int32_t rc) {
    complain_result("demo", path, what, rc);
    if (cb->state == 'O') {
        if (cb->write_depth > 0) endwrit(cb);
        cidclose(cb);
    }
    return ExitFailed;
}

}  // namespace

int cmd_demo(const std::vector<std::string>& args) {
    std::string dir;
    uint64_t count = 100000;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--records" && i + 1 < args.size()) {
            char* end = nullptr;
            const unsigned long long v = std::strtoull(args[++i].c_str(), &end, 10);
            if (*end != '\0' || v < 10 || v > 10000000) {
                complain("demo", "", "--records takes a count from 10 to 10000000");
                return ExitUsage;
            }
            count = v;
        } else if (!args[i].empty() && args[i][0] != '-' && dir.empty()) {
            dir = args[i];
        } else {
            complain("demo", "", "usage: kindex demo [DIR] [--records N]");
            return ExitUsage;
        }
    }
    if (dir.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        std::string templ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kindex-demo-XXXXXX";
        std::vector<char> name(templ.begin(), templ.end());
        name.push_back('\0');
        if (mkdtemp(name.data()) == nullptr) {
            complain("demo", templ, std::string("cannot make a folder: ") + std::strerror(errno));
            return ExitFailed;
        }
        dir = name.data();
    } else if (::mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
        complain("demo", dir, std::string("cannot make the folder: ") + std::strerror(errno));
        return ExitFailed;
    }
    const std::string path = dir + "/catalogue.kx";
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        // Only a file of an earlier demo (an index file) is replaced.
        HeaderFacts h;
        std::string why;
        if (!read_header_facts(path, h, why)) {
            complain("demo", path, "exists and is not an index file; name another folder");
            return ExitFailed;
        }
        ciunlink(path.c_str());
    }

    Catalogue c;
    KXCB* cb = &c.cb;
    std::printf("kindex demo: a product catalogue of %llu records\n", static_cast<unsigned long long>(count));
    std::printf("  file: %s\n\n", path.c_str());
    std::printf("A record: id (int32), name, category, price in cents (int32), stock (int16).\n"
                "Keys: root 1  id                      int32, unique\n"
                "      root 2  name                    case-blind string, duplicates allowed\n"
                "      root 3  category, then price    compound; price sorts descending (dearest first)\n\n");

    // 1. Create and load in one write section.
    int32_t rc = dbcreate(cb, path.c_str(), c.record_buffer, sizeof c.record_buffer, 'E', 1, c.roots);
    if (rc != KX_OK) return failed(cb, path, "cannot create", rc);
    // A bulk load: flush mode 0 keeps changed nodes in the node cache instead
    // of writing (and syncing) them one by one; cflush writes them at the end
    // and flush mode 3, the default of exclusive files, comes back.
    double t0 = now_seconds();
    if ((rc = csetfile(cb, 0)) != KX_OK) return failed(cb, path, "csetfile", rc);
    if ((rc = strtwrit(cb)) != KX_OK) return failed(cb, path, "strtwrit", rc);
    for (uint32_t i = 0; i < count; ++i) {
        c.make(i);
        if ((rc = dadd(cb, c.list)) != KX_OK) return failed(cb, path, "dadd of record " + std::to_string(i + 1), rc);
    }
    if ((rc = endwrit(cb)) != KX_OK) return failed(cb, path, "endwrit", rc);
    if ((rc = cflush(cb)) != KX_OK || (rc = csetfile(cb, 3)) != KX_OK) return failed(cb, path, "cflush", rc);
    double t = now_seconds() - t0;
    std::printf("1. dadd: %llu records in one write section (strtwrit ... endwrit), flush mode 0\n"
                "   (csetfile) while loading, then cflush: %s, %.0f records/s\n\n",
                static_cast<unsigned long long>(count), took(t).c_str(), static_cast<double>(count) / t);

    // 2. Finding by each key.
    std::printf("2. cidfind: finding one record by each key, then cidread into the variables\n");
    const int32_t wanted_id = static_cast<int32_t>(count * 47 / 100);
    t0 = now_seconds();
    rc = cidfind(cb, RootId, &wanted_id, 5, 1);
    if (rc == KX_OK) rc = cidread(cb, c.list);
    t = now_seconds() - t0;
    if (rc != KX_OK) return failed(cb, path, "cidfind by id", rc);
    std::printf("   root 1, mode 1 (equal), id %d:\n      %s   (%s)\n", wanted_id, shown(c.p).c_str(),
                took(t).c_str());
    const Product by_id = c.p;

    const char* prefix = "sturdy s";  // case-blind: finds "Sturdy Saw"
    t0 = now_seconds();
    rc = cidfind(cb, RootName, prefix, 1, 3);
    const int32_t found_how = rc;
    if (rc == KX_OK || rc == KX_GREATER) rc = cidread(cb, c.list);
    t = now_seconds() - t0;
    if (rc != KX_OK) return failed(cb, path, "cidfind by name", rc);
    std::printf("   root 2, mode 3 (equal or greater), name \"%s\" (%s, so case does not matter):\n      %s   (%s)\n",
                prefix, found_how == KX_GREATER ? "KX_GREATER: the next name up" : "equal", shown(c.p).c_str(),
                took(t).c_str());

    // A compound key is built from the variables with dsetkey.
    uint8_t key[243];
    std::snprintf(c.p.category, sizeof c.p.category, "kitchen");
    c.p.price = 2500;
    if ((rc = dsetkey(cb, RootCategory, c.list, 5, key)) != KX_OK) return failed(cb, path, "dsetkey", rc);
    t0 = now_seconds();
    rc = cidfind(cb, RootCategory, key, 8, 5);
    if (rc == KX_OK || rc == KX_SMALLER) rc = cidread(cb, c.list);
    t = now_seconds() - t0;
    if (rc != KX_OK) return failed(cb, path, "cidfind by category and price", rc);
    std::printf("   root 3, mode 5 (equal or less), kitchen at 25.00: with price descending, the cheapest\n"
                "   kitchen product at 25.00 or more:\n      %s   (%s)\n\n",
                shown(c.p).c_str(), took(t).c_str());

    // 3. Walks.
    std::printf("3. dseq: the five dearest garden products (root 3 from (\"garden\", highest price))\n");
    std::snprintf(c.p.category, sizeof c.p.category, "garden");
    c.p.price = 0x7fffffff;
    if ((rc = dsetkey(cb, RootCategory, c.list, 5, key)) != KX_OK) return failed(cb, path, "dsetkey", rc);
    rc = cidfind(cb, RootCategory, key, 8, 3);
    for (int i = 0; i < 5 && (rc == KX_OK || rc == KX_GREATER); ++i) {
        if ((rc = cidread(cb, c.list)) != KX_OK) return failed(cb, path, "cidread", rc);
        std::printf("      %s\n", shown(c.p).c_str());
        rc = dseq(cb, RootCategory, 1);
    }
    uint64_t walked = 0;
    t0 = now_seconds();
    for (rc = dseq(cb, RootName, 3); rc == KX_OK; rc = dseq(cb, RootName, 1)) {
        if ((rc = cidread(cb, c.list)) != KX_OK) return failed(cb, path, "cidread", rc);
        ++walked;
    }
    t = now_seconds() - t0;
    std::printf("   every record in name order (dseq on root 2, cidread each): %llu records, %s\n",
                static_cast<unsigned long long>(walked), took(t).c_str());
    std::printf("   last by name: %s\n\n", shown(c.p).c_str());

    // 4. Update: the price changes, so the record moves in root 3.
    if ((rc = cidfind(cb, RootId, &wanted_id, 5, 1)) != KX_OK || (rc = cidread(cb, c.list)) != KX_OK)
        return failed(cb, path, "cidfind by id", rc);
    c.p.price = by_id.price > 1000 ? by_id.price - 1000 : by_id.price + 1000;
    t0 = now_seconds();
    rc = dupdate(cb, c.list);
    t = now_seconds() - t0;
    if (rc != KX_OK) return failed(cb, path, "dupdate", rc);
    std::printf("4. dupdate: id %d's price %s -> %s; the keys follow (%s)\n", wanted_id, money(by_id.price).c_str(),
                money(c.p.price).c_str(), took(t).c_str());
    if ((rc = dsetkey(cb, RootCategory, c.list, 5, key)) != KX_OK) return failed(cb, path, "dsetkey", rc);
    rc = cidfind(cb, RootCategory, key, 8, 1);
    std::printf("   found again by (category, new price): %s\n\n", rc == KX_OK ? "yes" : "no");

    // 5. Delete.
    if ((rc = dgetcnt(cb)) != KX_OK) return failed(cb, path, "dgetcnt", rc);
    const uint32_t before = cb->recval;
    if ((rc = cidfind(cb, RootId, &wanted_id, 5, 1)) != KX_OK) return failed(cb, path, "cidfind by id", rc);
    t0 = now_seconds();
    rc = ddelete(cb, c.list);
    t = now_seconds() - t0;
    if (rc != KX_OK) return failed(cb, path, "ddelete", rc);
    if ((rc = dgetcnt(cb)) != KX_OK) return failed(cb, path, "dgetcnt", rc);
    const uint32_t after = cb->recval;
    rc = cidfind(cb, RootId, &wanted_id, 5, 1);
    std::printf("5. ddelete: id %d deleted (%s); dgetcnt: %u -> %u records; cidfind now: %s\n\n", wanted_id,
                took(t).c_str(), before, after, result_name(rc).c_str());

    if ((rc = cidclose(cb)) != KX_OK) return failed(cb, path, "cidclose", rc);

    std::printf("6. The structure of the file, as `kindex stat` shows it:\n\n");
    std::fflush(stdout);
    const int st_rc = print_stat("demo", path, stdout);
    if (st_rc != ExitOk) return st_rc;
    std::printf("\nThe file stays for you to look at:\n"
                "  kindex stat %s\n"
                "  kindex dump %s --segments 0,5d | less\n",
                path.c_str(), path.c_str());
    return ExitOk;
}

}  // namespace kxtool
