// SPDX-License-Identifier: MIT
#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "crypto/crypto.h"
#include "server/daemon.h"
#include "worker/internal.h"

TEST(Record, FieldsAreBoundedAndTerminated)
{
    unsigned char rec[RECORD_SIZE];
    memset(rec, 'x', sizeof rec);
    rec[0] = CMD_PING;
    memcpy(rec + REPLY_PATH_OFFSET, "/tmp/r", 7);
    rec[KEY_STRING_OFFSET + 3] = '\0';
    pipe_request req;
    record_parse(rec, &req);
    EXPECT_EQ(req.command, CMD_PING);
    EXPECT_STREQ(req.reply_path, "/tmp/r");
    // No NUL in the field: all 256 bytes, and not one byte of the next field.
    EXPECT_EQ(strlen(req.file_path), FIELD_SIZE);
    EXPECT_EQ(std::string(req.file_path), std::string(FIELD_SIZE, 'x'));
    EXPECT_STREQ(req.key_string, "xxx");

    // The last field ends exactly at the record's end.
    std::vector<unsigned char> tight(RECORD_SIZE, 'k');
    char key[FIELD_SIZE + 1];
    record_field(tight.data(), KEY_STRING_OFFSET, key);
    EXPECT_EQ(strlen(key), FIELD_SIZE);
}

// Served by its fields only when its paths are absolute and end inside
// their fields; bytes after a field's NUL are no part of the rule.
TEST(Record, WellFormed)
{
    const struct {
        unsigned char command;
        const char* reply;
        const char* file;  // null: the field filled, no NUL
        bool well_formed;
    } rows[] = {
        {CMD_DECRYPT_FILE, "/tmp/r", "/srv/d", true},
        {CMD_DECRYPT_CHUNK, "/tmp/r", "/srv/d", true},
        {CMD_DECRYPT_FILE, "/tmp/r", "srv/d", false},
        {CMD_DECRYPT_FILE, "/tmp/r", "", false},
        {CMD_DECRYPT_FILE, "/tmp/r", nullptr, false},
        {CMD_DECRYPT_FILE, "tmp/r", "/srv/d", false},
        {CMD_DECRYPT_FILE, "", "/srv/d", false},
        {CMD_PING, "/tmp/r", "", true},       // a ping's file field is not read
        {CMD_EXIT, "/tmp/r", nullptr, true},
        {CMD_PING, "r", "/srv/d", false},
        {CMD_EXIT, nullptr, "/srv/d", false},
    };
    for (const auto& row : rows) {
        unsigned char rec[RECORD_SIZE];
        memset(rec, 'x', sizeof rec);  // what a client left after each NUL
        rec[0] = row.command;
        for (const auto& [text, offset] : {std::pair{row.reply, REPLY_PATH_OFFSET}, {row.file, FILE_PATH_OFFSET}})
            if (text)
                memcpy(rec + offset, text, strlen(text) + 1);
            else
                memset(rec + offset, '/', FIELD_SIZE);
        EXPECT_EQ(record_well_formed(rec), row.well_formed)
            << (int)row.command << " " << (row.reply ? row.reply : "(full)") << " " << (row.file ? row.file : "(full)");
    }
}

TEST(Options, CommandLine)
{
    const struct {
        std::vector<const char*> args;
        int debug;
        bool version;
        const char* ignored = nullptr;  // warned about: an option that is not read
    } cases[] = {
        {{"t"}, 0, false},
        {{"t", "-d"}, 1, false},
        {{"t", "-a"}, 0, true},
        {{"t", "-d", "-a"}, 1, true},
        {{"t", "-a", "-d"}, 0, true, "-d"},
        {{"t", "-x", "-a"}, 0, false, "-a"},
        {{"t", "-dd"}, 0, false},
        {{"t", "-d", "-d", "-a"}, 1, false, "-a"},
        {{"t", "-d", "-l"}, 1, false},
        {{"t", "-l", "plain", "-d", "-a"}, 0, false, "-d"},
    };
    for (const auto& c : cases) {
        std::vector<char*> argv;
        for (const char* a : c.args)
            argv.push_back(const_cast<char*>(a));
        const daemon_options o = options_parse((int)argv.size(), argv.data());
        EXPECT_EQ(o.debug, c.debug) << c.args.size();
        EXPECT_EQ(o.version, c.version) << c.args.size();
        EXPECT_STREQ(o.ignored ? o.ignored : "", c.ignored ? c.ignored : "") << c.args.size();
    }
    // The rest of the option slot: each flag alone, anything else starting
    // with '-' unknown (warned about), a non-option ignored silently.
    const struct {
        const char* arg;
        bool version_line, help, log, unknown;
    } slots[] = {
        {"--version", true, false, false, false}, {"-V", true, false, false, false},
        {"--help", false, true, false, false},    {"-h", false, true, false, false},
        {"-l", false, false, true, false},        {"-x", false, false, false, true},
        {"--log", false, false, false, true},     {"plain", false, false, false, false},
    };
    for (const auto& c : slots) {
        char* argv[] = {const_cast<char*>("t"), const_cast<char*>(c.arg)};
        const daemon_options o = options_parse(2, argv);
        EXPECT_EQ(o.version_line, c.version_line) << c.arg;
        EXPECT_EQ(o.help, c.help) << c.arg;
        EXPECT_EQ(o.log, c.log) << c.arg;
        EXPECT_EQ(o.unknown != nullptr, c.unknown) << c.arg;
    }
}

// Whole blocks are decrypted; the rest is either carried to the next read
// (encrypting a stream) or passed through (the file's tail).
// However many keys come, a key within its spell never starts another: only
// spells that have ended are forgotten.
TEST(Log, SpellsOfManyKeys)
{
    log_spells spells;
    for (uint64_t key = 0; key < 1100; key++)
        EXPECT_TRUE(log_spell_starts(&spells, key)) << key;
    for (uint64_t key = 0; key < 1100; key++)
        EXPECT_FALSE(log_spell_starts(&spells, key)) << key;
    EXPECT_EQ(spells.last.size(), 1100u);
}

TEST(Transfer, LoadEndingInsideABlock)
{
    const std::vector<unsigned char> key(20, 3);
    thei99_dsa enc, dec;
    cA87315c_start(&enc, 1, key.data(), 20);
    cA87315c_start(&dec, 0, key.data(), 20);
    std::vector<unsigned char> plain(21);
    for (size_t i = 0; i < plain.size(); i++)
        plain[i] = (unsigned char)(i + 1);
    std::vector<unsigned char> cipher = plain;
    crypto_blocks(&enc, cipher.data(), cipher.data(), 16);

    std::vector<unsigned char> in = cipher, out(32, 0xEE);
    size_t rest = 99;
    EXPECT_EQ(crypto_blocks_partial(&dec, in.data(), out.data(), 21, false, &rest), 21u);
    EXPECT_EQ(rest, 0u);
    EXPECT_TRUE(std::equal(plain.begin(), plain.end(), out.begin()));

    in = cipher;
    EXPECT_EQ(crypto_blocks_partial(&dec, in.data(), out.data(), 21, true, &rest), 16u);
    EXPECT_EQ(rest, 5u);
    EXPECT_TRUE(std::equal(plain.begin(), plain.begin() + 16, out.begin()));
    EXPECT_TRUE(std::equal(cipher.begin() + 16, cipher.end(), in.begin()));
}

// Without openat2, the places magic links live are refused by name, however
// the name is spelt.
TEST(Path, NamesProc)
{
    const struct {
        const char* path;
        bool refused;
    } cases[] = {
        {"/proc/self/fd/1", true},  {"/proc", true},        {"//proc//1/fd/3", true}, {"/tmp/../proc/self/fd/1", true},
        {"/../proc/self/fd/1", true}, {"/./dev/fd/0", true}, {"/dev/stdout", true},    {"/dev/stderr", true},
        {"tmp/reply", true},        {"", true},             {"/process/x", false},    {"/tmp/reply", false},
        {"/dev/fdx", false},        {"/tmp/..", false},     {"/dev/null", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(path_names_proc(c.path), c.refused) << c.path;
    // Longer than a field can hold: never a path the daemon serves.
    EXPECT_TRUE(path_names_proc(("/tmp/" + std::string(FIELD_SIZE, 'a')).c_str()));
}

namespace {

// Requests of these owners waiting, in arrival order, kept in *store; each
// one's bound descriptor is its position, to tell them apart.
pool_queue queue_of(const std::vector<uint64_t>& owners, std::deque<request>* store)
{
    pool_queue q;
    for (size_t i = 0; i < owners.size(); i++) {
        request& r = store->emplace_back();
        r.owner = owners[i];
        r.bound = (int)i;
        q.waiting.push_back(&r);
    }
    return q;
}

// Starts what the rule lets start, as the pool does: the positions started.
std::vector<int> drain(pool_queue* q)
{
    std::vector<int> started;
    for (long i; (i = dispatch_next(*q)) >= 0;)
        started.push_back(dispatch_take(q, (size_t)i)->bound);
    return started;
}

std::vector<int> positions(int from, int to)
{
    std::vector<int> v;
    for (int i = from; i < to; i++)
        v.push_back(i);
    return v;
}

}  // namespace

TEST(Dispatch, SharesSlotsAndArrivalOrder)
{
    const uint64_t A = 4242, B = 4243;
    std::vector<uint64_t> many(MAX_WORKERS + 1);
    for (size_t i = 0; i < many.size(); i++)
        many[i] = 5000 + i % 5;
    const struct {
        const char* what;
        std::vector<uint64_t> owners;
        int ended;                  // workers waiting to be joined
        std::vector<int> started;   // positions, in the order they start
    } rows[] = {
        {"one owner beyond its share waits; another passes it",
         [&] { std::vector<uint64_t> o(OWNER_SHARE + 1, A); o.push_back(B); return o; }(), 0,
         [] { auto v = positions(0, OWNER_SHARE); v.push_back(OWNER_SHARE + 1); return v; }()},
        {"paths that reached no FIFO share one share",
         [&] { std::vector<uint64_t> o(OWNER_SHARE + 1, UNKNOWN_OWNER); o.push_back(A); return o; }(), 0,
         [] { auto v = positions(0, OWNER_SHARE); v.push_back(OWNER_SHARE + 1); return v; }()},
        {"no more than MAX_WORKERS at once", many, 0, positions(0, MAX_WORKERS)},
        {"none while too many ended workers wait to be joined", {A, B}, MAX_ENDED + 1, {}},
        {"ended workers within the bound hold nothing back", {A, B}, MAX_ENDED, {0, 1}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::deque<request> store;
        pool_queue q = queue_of(row.owners, &store);
        q.ended = row.ended;
        q.running = row.ended;
        EXPECT_EQ(drain(&q), row.started);
        EXPECT_EQ(q.waiting.size(), row.owners.size() - row.started.size());
    }
}

TEST(Dispatch, AnEndedWorkerLetsItsOwnersNextRecordStart)
{
    const uint64_t A = 4242, B = 4243;
    std::vector<uint64_t> owners(OWNER_SHARE + 2, A);
    owners.push_back(B);
    std::deque<request> store;
    pool_queue q = queue_of(owners, &store);
    ASSERT_EQ(drain(&q).size(), (size_t)OWNER_SHARE + 1);
    dispatch_share_done(&q, A);
    EXPECT_EQ(drain(&q), std::vector<int>{OWNER_SHARE});
    dispatch_joined(&q);
    EXPECT_EQ(q.running, OWNER_SHARE + 1);
    EXPECT_EQ(q.ended, 0);
    EXPECT_TRUE(dispatch_share_used(q, A));
}

// What may wait: OWNER_WAITING records of an owner, UNKNOWN_WAITING of the
// unresolved share; each owner's count apart, and a record taken out makes
// room again.
TEST(Dispatch, WaitingIsCappedPerOwner)
{
    const uint64_t A = 4242, B = 4243;
    std::deque<request> store;
    pool_queue q;
    const auto queue = [&](uint64_t owner) {
        request& r = store.emplace_back();
        r.owner = owner;
        return dispatch_queue(&q, &r);
    };
    for (int i = 0; i < OWNER_WAITING; i++)
        ASSERT_TRUE(queue(A));
    for (int i = 0; i < UNKNOWN_WAITING; i++)
        ASSERT_TRUE(queue(UNKNOWN_OWNER));
    EXPECT_FALSE(queue(A));
    EXPECT_FALSE(queue(UNKNOWN_OWNER));
    EXPECT_TRUE(queue(B));
    EXPECT_EQ(q.waiting.size(), (size_t)OWNER_WAITING + UNKNOWN_WAITING + 1);
    request* taken = dispatch_take(&q, 0);
    EXPECT_TRUE(queue(A));
    EXPECT_FALSE(queue(A));
    // A record given back after a failed start counts again.
    dispatch_give_back(&q, 0, taken);
    EXPECT_EQ(q.queued[A], OWNER_WAITING + 1);
}

// A thread that cannot start gives its record's share and slot back, and
// the record stays first, however often that happens.
TEST(Dispatch, FailedStartsGiveShareAndSlotBack)
{
    const uint64_t A = 4242, B = 4243;
    std::deque<request> store;
    pool_queue q = queue_of({A, B}, &store);
    for (int failure = 0; failure < 2 * OWNER_SHARE + 1; failure++) {
        const long i = dispatch_next(q);
        ASSERT_EQ(i, 0);
        dispatch_give_back(&q, 0, dispatch_take(&q, 0));
        ASSERT_EQ(q.waiting.front()->bound, 0) << "after failure " << failure;
    }
    EXPECT_TRUE(q.serving.empty());
    EXPECT_EQ(q.running, 0);
    EXPECT_EQ(drain(&q), (std::vector<int>{0, 1}));
}

// A load decrypted in slices by the worker and helpers is what one thread
// gives, whatever the sizes around slices and loads; waited for until
// helpers have taken slices, however busy the machine.
TEST(Helpers, SlicesDecryptAsOneThreadDoes)
{
    static const int helpers = helpers_init();
    if (helpers == 0)
        GTEST_SKIP() << "one CPU for this process: no helper starts";
    unsigned char key[20] = {1, 2, 3};
    thei99_dsa ctx;
    cA87315c_start(&ctx, 0, key, sizeof key);
    std::vector<unsigned char> in(LOAD_SIZE), one(LOAD_SIZE), sliced(LOAD_SIZE);
    for (size_t i = 0; i < in.size(); i++)
        in[i] = (unsigned char)(i * 131 + 7);
    const auto same = [&](size_t len) {
        crypto_blocks(&ctx, in.data(), one.data(), len);
        std::fill(sliced.begin(), sliced.end(), 0);
        helpers_blocks(&ctx, in.data(), sliced.data(), len);
        return std::equal(one.begin(), one.begin() + (long)len, sliced.begin()) &&
               std::all_of(sliced.begin() + (long)len, sliced.end(), [](unsigned char b) { return b == 0; });
    };
    const size_t S = HELPER_SLICE_SIZE, L = LOAD_SIZE;
    for (size_t len : {(size_t)0, (size_t)8, S - 8, S, S + 8, 2 * S + 8, L - S - 8, L - 8, L})
        EXPECT_TRUE(same(len)) << len;
    const long before = helpers_slices_helped();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    const long enough = 8 * (long)(L / S);
    while (helpers_slices_helped() - before < enough && std::chrono::steady_clock::now() < deadline)
        ASSERT_TRUE(same(L));
    EXPECT_GE(helpers_slices_helped() - before, enough) << "helpers took few slices in 30 s";
}
