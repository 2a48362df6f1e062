// gzip routines: members appended at level 9, round trips and failures.
#include "file_compress.h"
#include "rotation_journal.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <csignal>

#include <random>

#include "core_test_util.h"
#include "unique_fd.h"
#include "vexd.h"  // last: it replaces the C library's assert

namespace {

std::string sample(size_t len, unsigned seed)
{
    // Half text, half noise, so both compressible and incompressible runs occur.
    std::mt19937 rng(seed);
    std::string s;
    while (s.size() < len) {
        s += "<6>[  123.456789] some kernel line " + std::to_string(rng() % 1000) + "\n";
        for (int i = 0; i < 40; i++) s += static_cast<char>(rng());
    }
    s.resize(len);
    return s;
}

std::vector<std::string> repair_notes;
void note_record(const char *record, const char *why) { repair_notes.push_back(std::string(record) + ": " + why); }

class FileCompress : public ::testing::Test {
protected:
    TempDir dir;
    std::string in = dir / "in.txt", gz = dir / "in.gz", out = dir / "out.txt";
    // The pairs of this directory: in.txt rotated onto in.gz, src.gz moved onto it.
    static constexpr file_pair_t PAIRS[] = {{"in.gz", "in.txt", 'z'}, {"in.gz", "src.gz", 'c'}};
    int repair()
    {
        repair_notes.clear();
        return file_rotation_repair(dir.path.c_str(), PAIRS, note_record);
    }
};

TEST_F(FileCompress, RoundTripAndSizes)
{
    std::string data = sample(300000, 1);
    write_file(in, data);
    int32_t gz_size = file_compress(in.c_str(), gz.c_str());
    EXPECT_EQ(static_cast<int32_t>(read_file(gz).size()), gz_size);
    EXPECT_EQ(data, read_file(in));  // the input is left as it was

    EXPECT_EQ(static_cast<int32_t>(data.size()), file_uncompress(gz.c_str(), out.c_str()));
    EXPECT_EQ(data, read_file(out));

    // Level 9: the gzip header's extra flags say "maximum compression".
    std::string head = read_file(gz).substr(0, 10);
    EXPECT_EQ('\x1f', head[0]);
    EXPECT_EQ('\x8b', head[1]);
    EXPECT_EQ(2, head[8]);
}

TEST_F(FileCompress, EachCallAppendsOneMember)
{
    std::string a = sample(50000, 2), b = "second rotation\n";
    write_file(in, a);
    int32_t first = file_compress(in.c_str(), gz.c_str());
    write_file(in, b);
    int32_t second = file_compress(in.c_str(), gz.c_str());
    EXPECT_GT(second, first);
    EXPECT_EQ((std::vector<std::string>{a, b}), gz_members(gz));

    // file_uncompress reads every member, in order, into a new file.
    write_file(out, "stale content that must go");
    EXPECT_EQ(static_cast<int32_t>(a.size() + b.size()), file_uncompress(gz.c_str(), out.c_str()));
    EXPECT_EQ(a + b, read_file(out));
}

TEST_F(FileCompress, FailedAppendLeavesTheGzipFileAsItWas)
{
    std::string a = sample(20000, 4);
    write_file(in, a);
    int32_t first = file_compress(in.c_str(), gz.c_str());
    ASSERT_GT(first, 0);

    // A file-size limit just above the present gzip file makes the next
    // member fail half-way (as a full disk would).
    EXPECT_IN_CHILD({
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {static_cast<rlim_t>(first) + 100, static_cast<rlim_t>(first) + 100};
        ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &lim));
        write_file(in, sample(200000, 5));
        EXPECT_EQ(0, file_compress(in.c_str(), gz.c_str()));
    });
    // The partial member was cut off: the file still holds exactly one member.
    EXPECT_EQ(first, static_cast<int32_t>(read_file(gz).size()));
    EXPECT_EQ((std::vector<std::string>{a}), gz_members(gz));
}

TEST_F(FileCompress, EmptyFileAddsAnEmptyMember)
{
    write_file(in, "");
    int32_t size = file_compress(in.c_str(), gz.c_str());
    EXPECT_GT(size, 0);
    EXPECT_EQ((std::vector<std::string>{""}), gz_members(gz));
    EXPECT_EQ(0, file_uncompress(gz.c_str(), out.c_str()));
    EXPECT_TRUE(file_exists(out));
    EXPECT_EQ("", read_file(out));
}

TEST_F(FileCompress, UnmappableInputIsCopiedByBlocks)
{
    // /proc files report size 0 yet have content: the block copy takes them.
    std::string proc = "/proc/self/mountinfo";
    int32_t size = file_compress(proc.c_str(), gz.c_str());
    EXPECT_GT(size, 0);
    auto members = gz_members(gz);
    ASSERT_EQ(1u, members.size());
    EXPECT_NE(std::string::npos, members[0].find(" / "));
}

TEST_F(FileCompress, FailuresReturnZeroAndWriteNothing)
{
    // Missing input: no gzip file appears, not even an empty member.
    EXPECT_EQ(0, file_compress((dir / "missing").c_str(), gz.c_str()));
    EXPECT_FALSE(file_exists(gz));

    // Output that cannot be created.
    write_file(in, "text\n");
    EXPECT_EQ(0, file_compress(in.c_str(), (dir / "no/such/dir.gz").c_str()));

    // Uncompress: missing input, unwritable output, damaged member.
    EXPECT_EQ(0, file_uncompress((dir / "missing.gz").c_str(), out.c_str()));
    ASSERT_GT(file_compress(in.c_str(), gz.c_str()), 0);
    EXPECT_EQ(0, file_uncompress(gz.c_str(), (dir / "no/such/out").c_str()));
    std::string whole = read_file(gz);
    write_file(gz, whole.substr(0, whole.size() - 6));
    EXPECT_EQ(0, file_uncompress(gz.c_str(), out.c_str()));
}

// A kill can land anywhere in a rotation: inside the gzip append, after it
// but before the text is emptied, or after that but before the record goes.
// The repair at the next start must leave every member whole and each text
// exactly once, in order.
TEST_F(FileCompress, RotationCutShortIsSettledAtTheNextStart)
{
    const std::string a = sample(30000, 7), b = sample(40000, 8), c = "later lines\n";
    const std::string record = gz + ".part";
    auto first_rotation = [&] {
        write_file(gz, "");
        ASSERT_EQ(0, unlink(gz.c_str()));
        write_file(in, a);
        ASSERT_GT(file_compress(in.c_str(), gz.c_str()), 0);
        EXPECT_TRUE(file_exists(record)) << "kept until the text is emptied";
        write_file(in, "");
        file_rotation_done(in.c_str(), gz.c_str());
        EXPECT_FALSE(file_exists(record));
        write_file(in, b);
    };

    // Killed inside the append: the cut member goes, the text stays.
    first_rotation();
    const size_t before = read_file(gz).size();
    ASSERT_GT(file_compress(in.c_str(), gz.c_str()), 0);
    const std::string whole = read_file(gz);
    write_file(gz, whole.substr(0, before + (whole.size() - before) / 2));
    EXPECT_EQ(1, repair());
    EXPECT_EQ((std::vector<std::string>{a}), gz_members(gz));
    EXPECT_EQ(b, read_file(in));
    EXPECT_FALSE(file_exists(record));
    // After a power cut the file may go on in zeros past what reached the
    // disk (blocks allocated, never written): still a member cut short, even
    // when none of it reached the disk.
    for (const std::string &part : {whole.substr(before, (whole.size() - before) / 2), std::string()}) {
        ASSERT_EQ(0, file_member_begin(in.c_str(), gz.c_str(), static_cast<int64_t>(before)));
        write_file(gz, whole.substr(0, before) + part + std::string(6000, '\0'));
        EXPECT_EQ(1, repair()) << part.size();
        EXPECT_TRUE(gz_members(gz) == std::vector<std::string>{a});
        EXPECT_TRUE(read_file(in) == b);
    }

    // Killed before the first member's first byte reached the new file:
    // the empty file goes, the text stays.
    ASSERT_EQ(0, unlink(gz.c_str()));
    write_file(in, a);
    ASSERT_GT(file_compress(in.c_str(), gz.c_str()), 0);
    write_file(gz, "");
    EXPECT_EQ(1, repair());
    EXPECT_FALSE(file_exists(gz));
    EXPECT_EQ(a, read_file(in));
    // Killed inside the first member: cut off, the file would be empty, and
    // goes as well.
    ASSERT_GT(file_compress(in.c_str(), gz.c_str()), 0);
    write_file(gz, read_file(gz).substr(0, 100));
    EXPECT_EQ(1, repair());
    EXPECT_FALSE(file_exists(gz));
    EXPECT_EQ(a, read_file(in));

    // Killed after the append, before the text was emptied: emptied now.
    first_rotation();
    ASSERT_GT(file_compress(in.c_str(), gz.c_str()), 0);
    EXPECT_EQ(1, repair());
    EXPECT_EQ((std::vector<std::string>{a, b}), gz_members(gz));
    EXPECT_EQ("", read_file(in));

    // Emptied and written again before the record went: the new text stays,
    // and nothing needed settling.
    first_rotation();
    ASSERT_GT(file_compress(in.c_str(), gz.c_str()), 0);
    write_file(in, c);
    EXPECT_EQ(0, repair());
    EXPECT_EQ((std::vector<std::string>{a, b}), gz_members(gz));
    EXPECT_EQ(c, read_file(in));
    EXPECT_FALSE(file_exists(record));

    // A writer that goes on with the emptied text (reopen) keeps the record,
    // emptied and unsynced, for the next rotation, which writes it again in
    // place; the emptying's sync is the writer's own. An empty record
    // settles nothing.
    first_rotation();
    ASSERT_GT(file_compress(in.c_str(), gz.c_str()), 0);
    {
        const unique_fd emptied(open(in.c_str(), O_RDWR | O_TRUNC));
        ASSERT_TRUE(emptied.ok());
        file_rotation_done(in.c_str(), gz.c_str(), true);
    }
    EXPECT_EQ("", read_file(record));
    write_file(in, c);
    ASSERT_GT(file_compress(in.c_str(), gz.c_str()), 0);
    EXPECT_EQ(0u, read_file(record).find("z "));
    write_file(in, "");
    {
        const unique_fd emptied(open(in.c_str(), O_RDWR));
        file_rotation_done(in.c_str(), gz.c_str(), true);
    }
    EXPECT_EQ("", read_file(record));
    EXPECT_EQ(0, repair());
    EXPECT_EQ((std::vector<std::string>{a, b, c}), gz_members(gz));
    EXPECT_FALSE(file_exists(record));

    // A move (byte copy, then the source removed) cut short is taken back
    // while its source is there, and kept once the source is gone.
    const std::string src = dir / "src.gz";
    first_rotation();
    const std::string dst_before = read_file(gz);
    write_file(src, "copied bytes");
    ASSERT_EQ(0, file_copy_begin(src.c_str(), gz.c_str(), static_cast<int64_t>(dst_before.size())));
    write_file(gz, dst_before + "copied");
    EXPECT_EQ(1, repair());
    EXPECT_EQ(dst_before, read_file(gz));
    ASSERT_EQ(0, file_copy_begin(src.c_str(), gz.c_str(), static_cast<int64_t>(dst_before.size())));
    write_file(gz, dst_before + "copied bytes");
    ASSERT_EQ(0, unlink(src.c_str()));
    EXPECT_EQ(0, repair());
    EXPECT_EQ(dst_before + "copied bytes", read_file(gz));
    EXPECT_EQ(0, repair());
}

// The repair runs as root before anything else: a record it did not write,
// or one that does not agree with the files, must not cost a byte.
TEST_F(FileCompress, RepairTrustsNoRecordAndFollowsNoLink)
{
    const std::string record = gz + ".part", victim = dir / "victim.txt", src = dir / "src.gz";
    const std::string a = sample(20000, 3), b = sample(30000, 4);
    auto put_record = [&](const std::string &text) { write_file(record, text); };

    // Output through a link: the link's target keeps every byte.
    write_file(victim, "victim text");
    ASSERT_EQ(0, symlink(victim.c_str(), gz.c_str()));
    put_record("z 3 " + in + "\n");
    EXPECT_EQ(0, repair());
    EXPECT_EQ("victim text", read_file(victim));
    EXPECT_EQ(1u, repair_notes.size());
    EXPECT_FALSE(file_exists(record));
    put_record("c 0 " + src + "\n");
    write_file(src, "x");
    EXPECT_EQ(0, repair());
    EXPECT_EQ("victim text", read_file(victim));
    // Nor do a rotation's own ends: an append taken back cuts nothing
    // through a link, and an input that is a link is not synced through it,
    // with a line in the daemon log.
    ASSERT_EQ(0, file_member_begin(in.c_str(), gz.c_str(), 3));
    file_append_undo(gz.c_str(), 3);
    EXPECT_EQ("victim text", read_file(victim));
    EXPECT_FALSE(file_exists(record));
    EXPECT_IN_CHILD({
        const std::string startcnt = dir / "vexd_startcnt", log = dir / "vexd_vexdlog.txt";
        vexd_set_startcnt_path(startcnt.c_str());
        vexd_log_dir_path = dir.path.c_str();
        ASSERT_EQ(0, symlink(victim.c_str(), in.c_str()));
        ASSERT_EQ(0, file_member_begin(in.c_str(), gz.c_str(), 3));
        file_rotation_done(in.c_str(), gz.c_str());
        EXPECT_NE(std::string::npos,
                  read_file(log).find("Rotation onto " + gz + ": " + in + " is not a regular file, not synced\n"));
        EXPECT_FALSE(file_exists(record));
        EXPECT_EQ(0, unlink(in.c_str()));
    });
    ASSERT_EQ(0, unlink(gz.c_str()));

    // Two whole members after the recorded size, or a size inside a member,
    // or an input that is not the partner: the gzip file stays whole.
    write_file(in, a);
    const int32_t one = file_compress(in.c_str(), gz.c_str());
    ASSERT_GT(one, 0);
    write_file(in, b);
    ASSERT_GT(file_compress(in.c_str(), gz.c_str()), 0);
    const std::string two = read_file(gz);
    for (const std::string &text : std::vector<std::string>{"z 0 " + in + "\n", "z 5 " + in + "\n", "z 5 /nonexistent\n"}) {
        put_record(text);
        EXPECT_EQ(0, repair()) << text;
        EXPECT_EQ(two, read_file(gz)) << text;
        EXPECT_EQ(b, read_file(in)) << text;
        EXPECT_EQ(1u, repair_notes.size()) << text;
    }
    // A member that does not decode is damaged, not cut short: neither it
    // nor a whole member after it is cut.
    write_file(in, "later text\n");
    ASSERT_GT(file_compress(in.c_str(), gz.c_str()), 0);
    std::string damaged = read_file(gz);
    damaged[static_cast<size_t>(one) + (two.size() - static_cast<size_t>(one)) / 2] ^= 0x55;
    for (const std::string &text : {damaged, damaged.substr(0, two.size())}) {
        write_file(gz, text);
        put_record("z " + std::to_string(one) + " " + in + "\n");
        EXPECT_EQ(0, repair()) << text.size();
        EXPECT_TRUE(read_file(gz) == text);
        EXPECT_EQ("later text\n", read_file(in));
        EXPECT_EQ(1u, repair_notes.size());
    }
    write_file(gz, two);
    write_file(in, b);

    // A copy record whose bytes are not its source's takes nothing back.
    put_record("c 0 " + src + "\n");
    EXPECT_EQ(0, repair());
    EXPECT_EQ(two, read_file(gz));

    // An input through a link is not emptied, even when it holds the member.
    write_file(victim, b);
    ASSERT_EQ(0, unlink(in.c_str()));
    ASSERT_EQ(0, symlink(victim.c_str(), in.c_str()));
    write_file(gz, "");
    ASSERT_EQ(0, unlink(gz.c_str()));
    ASSERT_GT(file_compress(victim.c_str(), gz.c_str()), 0);
    put_record("z 0 " + in + "\n");
    EXPECT_EQ(0, repair());
    EXPECT_EQ(b, read_file(victim));

    // Names of no pair are not ours: left as they are and not counted.
    write_file(dir / "download.part", "z 0 " + in + "\n");
    ASSERT_EQ(0, mkdir((dir / "x.part").c_str(), 0777));
    EXPECT_EQ(0, repair());
    EXPECT_TRUE(file_exists(dir / "download.part"));
    EXPECT_TRUE(repair_notes.empty());
}

}  // namespace
