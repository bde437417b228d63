// Failures must leave every input and the old target exactly as they were,
// remove the temporary file, name the path, and never end in "Done".
#include "engine/patch_applier.h"
#include "engine/patch_format.h"
#include "engine/patch_maker.h"
#include "engine/user_texts.h"
#include "host/buffered_output.h"
#include "test_support.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace zelk::test {
namespace {

// Outputs that fail like a full disk once `budget` bytes have been written.
class FullDiskHost : public RecordingHost {
public:
    explicit FullDiskHost(std::uint64_t budget) : budget_(budget) {}

    std::unique_ptr<OutputFile> CreateOutput(const std::string& path) override {
        return std::make_unique<Limited>(RecordingHost::CreateOutput(path), budget_);
    }

private:
    class Limited final : public OutputFile {
    public:
        Limited(std::unique_ptr<OutputFile> inner, std::uint64_t budget) : inner_(std::move(inner)), left_(budget) {}
        void Append(std::span<const std::uint8_t> bytes) override {
            Spend(bytes.size());
            inner_->Append(bytes);
        }
        void WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) override {
            Spend(bytes.size());
            inner_->WriteAt(offset, bytes);
        }
        void AppendFrom(InputFile& source, std::uint64_t offset, std::uint64_t length) override {
            Spend(length);
            inner_->AppendFrom(source, offset, length);
        }
        void ExtendTo(std::uint64_t size) override {
            Spend(size > Size() ? size - Size() : 0);
            inner_->ExtendTo(size);
        }
        std::uint64_t Size() const override { return inner_->Size(); }
        void ReadBack(std::uint64_t offset, std::span<std::uint8_t> buffer) override { inner_->ReadBack(offset, buffer); }
        void Commit() override {
            Spend(1);  // the final flush counts as a write too
            inner_->Commit();
        }
        const std::string& Path() const override { return inner_->Path(); }

    private:
        void Spend(std::uint64_t bytes) {
            if (bytes > left_) throw FileError("Cannot write " + Path() + ": No space left on device");
            left_ -= bytes;
        }
        std::unique_ptr<OutputFile> inner_;
        std::uint64_t left_;
    };
    std::uint64_t budget_;
};

class FailureTest : public FileTest {
protected:
    void ExpectStoppedWith(const std::vector<RecordedMessage>& messages, const std::string& fragment) {
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].style, MessageStyle::Critical);
        EXPECT_NE(messages[0].text.find(fragment), std::string::npos) << messages[0].text;
    }
};

TEST_F(FailureTest, ShorterChangedFileIsRefusedAndTheOldPatchKept) {
    const auto original = Write("a.rom", {1, 2, 3});
    const auto changed = Write("b.rom", {1, 2});
    Write("p.ppp", {42});
    EXPECT_EQ(MakePatch(host_, original, changed, Path("p.ppp"), ""), Outcome::Stopped);
    ExpectStoppedWith(Messages(), "shorter");
    EXPECT_NE(Messages()[0].text.find(original), std::string::npos);
    EXPECT_NE(Messages()[0].text.find(changed), std::string::npos);
    EXPECT_EQ(Read("p.ppp"), Bytes{42});
    EXPECT_EQ(Listing(), (std::vector<std::string>{"a.rom", "b.rom", "p.ppp"}));
}

TEST_F(FailureTest, MissingInputsAreNamedInOrder) {
    const auto original = Write("a.rom", {1});
    EXPECT_EQ(MakePatch(host_, Path("x.rom"), original, Path("p.ppp"), ""), Outcome::Stopped);
    EXPECT_EQ(MakePatch(host_, original, Path("y.rom"), Path("p.ppp"), ""), Outcome::Stopped);
    EXPECT_EQ(Messages(), (std::vector<RecordedMessage>{{"нету файла " + Path("x.rom"), MessageStyle::Critical},
                                                        {"нету файла " + Path("y.rom"), MessageStyle::Critical}}));
    EXPECT_EQ(Listing(), std::vector<std::string>{"a.rom"});
}

#ifndef _WIN32
TEST_F(FailureTest, DotFilesAreOrdinaryAndLinksAreFollowed) {
    Write(".hidden.rom", {1, 2});
    std::filesystem::create_symlink(".hidden.rom", dir_ / "link.rom");
    std::filesystem::create_directory(dir_ / "folder");
    std::filesystem::create_symlink("folder", dir_ / "folder-link");
    EXPECT_EQ(MakePatch(host_, Path(".hidden.rom"), Path("link.rom"), Path("p.ppp"), ""), Outcome::Done);
    EXPECT_EQ(Read("p.ppp"), PatchBytes({}, ""));
    host_.messages.clear();
    EXPECT_EQ(MakePatch(host_, Path("folder-link"), Path("link.rom"), Path("p.ppp"), ""), Outcome::Stopped);
    EXPECT_EQ(Messages(), (std::vector<RecordedMessage>{
                              {"Cannot read " + Path("folder-link") + ": it is a folder, not a file", MessageStyle::Critical}}));
}

// "нету файла" only where nothing is: anything else that is no file says what it is.
TEST_F(FailureTest, InputsThatAreNoFilesSayWhatTheyAre) {
    const auto a = Write("a.rom", {1});
    ASSERT_EQ(::mkfifo(Path("pipe").c_str(), 0600), 0);
    const struct {
        std::string path, message;
    } rows[] = {
        {Path("none.rom"), "нету файла " + Path("none.rom")},
        {Path("pipe"), "Cannot read " + Path("pipe") + ": it is a named pipe, not a regular file"},
        {"/dev/zero", "Cannot read /dev/zero: it is a character device, not a regular file"},
        {dir_.string(), "Cannot read " + dir_.string() + ": it is a folder, not a file"},
    };
    for (const auto& row : rows) {
        for (const bool apply : {false, true}) {
            host_.messages.clear();
            const Outcome outcome = apply ? ApplyPatch(host_, a, row.path, Path("out.rom"))
                                          : MakePatch(host_, row.path, a, Path("p.ppp"), "");
            EXPECT_EQ(outcome, Outcome::Stopped) << row.path;
            EXPECT_EQ(Messages(), (std::vector<RecordedMessage>{{row.message, MessageStyle::Critical}})) << row.path;
        }
    }
    EXPECT_FALSE(Exists("out.rom"));
    EXPECT_FALSE(Exists("p.ppp"));
}

#endif

TEST_F(FailureTest, TargetInAMissingFolderOrThatIsAFolder) {
    const auto original = Write("a.rom", {1, 2});
    const auto changed = Write("b.rom", {1, 3});
    const auto patch = Write("p.ppp", PatchBytes({{0, {7}}}, ""));
    std::filesystem::create_directory(dir_ / "folder");
    for (const std::string& target : {Path("missing/p.ppp"), Path("folder"), Path("folder/")}) {
        host_.messages.clear();
        EXPECT_EQ(MakePatch(host_, original, changed, target, ""), Outcome::Stopped);
        ExpectStoppedWith(Messages(), "Cannot ");
        EXPECT_NE(Messages()[0].text.find(target), std::string::npos);
        host_.messages.clear();
        EXPECT_EQ(ApplyPatch(host_, original, patch, target), Outcome::Stopped);
        ExpectStoppedWith(Messages(), target);
    }
    EXPECT_EQ(Read("a.rom"), (Bytes{1, 2}));
    EXPECT_EQ(Read("b.rom"), (Bytes{1, 3}));
    EXPECT_EQ(Listing(), (std::vector<std::string>{"a.rom", "b.rom", "folder", "p.ppp"}));
    EXPECT_TRUE(std::filesystem::is_empty(dir_ / "folder"));
}

TEST_F(FailureTest, ReadOnlyTargetIsRefusedAfterTheCommentIsShown) {
    const auto original = Write("a.rom", {1, 2});
    const auto patch = Write("p.ppp", PatchBytes({{0, {7}}}, "read me first"));
    const auto target = Write("out.rom", {9});
    std::filesystem::permissions(target, std::filesystem::perms::owner_read | std::filesystem::perms::group_read);
    EXPECT_EQ(ApplyPatch(host_, original, patch, target), Outcome::Stopped);
    EXPECT_EQ(MakePatch(host_, original, original, target, ""), Outcome::Stopped);
    ASSERT_EQ(Messages().size(), 3u);
    EXPECT_EQ(Messages()[0], Plain("read me first"));
    EXPECT_TRUE(CannotWrite(Messages()[1], target, "Permission denied"));
    EXPECT_TRUE(CannotWrite(Messages()[2], target, "Permission denied"));
    EXPECT_EQ(Read("out.rom"), Bytes{9});
    EXPECT_EQ(Listing(), (std::vector<std::string>{"a.rom", "out.rom", "p.ppp"}));
}

TEST_F(FailureTest, FullDiskAtAnyPointKeepsTheOldTarget) {
    const Bytes original = Random(3000, 5);
    Bytes changed = original;
    for (std::size_t i = 0; i < original.size(); i += 97) changed[i] ^= 0x5A;
    changed.resize(3500, 0x11);
    Write("a.rom", original);
    Write("b.rom", changed);
    const Bytes oldPatch = Text("old patch bytes");
    const Bytes oldOutput = Text("old output bytes");
    // Every budget short of the whole output fails; the loops end there at
    // the latest, and at the first failure of any other kind.
    const std::uint64_t limit = 2 * changed.size() + 100;
    // Our own format, and a format whose maker writes window by window.
    for (const std::string name : {"p.xdelta", "p.ppp"}) {
        bool sawSuccess = false;
        for (std::uint64_t budget = 0; !sawSuccess && budget < limit; budget += 97) {
            Write(name, oldPatch);
            FullDiskHost host(budget);
            sawSuccess = MakePatch(host, Path("a.rom"), Path("b.rom"), Path(name), "") == Outcome::Done;
            if (sawSuccess) break;
            ExpectStoppedWith(host.messages, "Cannot write " + Path(name) + ": No space left on device");
            EXPECT_EQ(Read(name), oldPatch);
            ASSERT_EQ(Listing(), (std::vector<std::string>{"a.rom", "b.rom", name}));
        }
        ASSERT_TRUE(sawSuccess) << name;
        std::filesystem::remove(Path("p.xdelta"));
    }
    const Bytes patch = Read("p.ppp");
    bool applied = false;
    for (std::uint64_t budget = 0; !applied && budget < limit; budget += 101) {
        Write("out.rom", oldOutput);
        FullDiskHost host(budget);
        applied = ApplyPatch(host, Path("a.rom"), Path("p.ppp"), Path("out.rom")) == Outcome::Done;
        if (applied) break;
        ASSERT_EQ(host.messages.back(), (RecordedMessage{"Cannot write " + Path("out.rom") + ": No space left on device",
                                                         MessageStyle::Critical}));
        EXPECT_EQ(Read("out.rom"), oldOutput);
        ASSERT_EQ(Listing(), (std::vector<std::string>{"a.rom", "b.rom", "out.rom", "p.ppp"}));
    }
    ASSERT_TRUE(applied);
    EXPECT_EQ(Read("out.rom"), changed);
    EXPECT_EQ(Read("a.rom"), original);
    EXPECT_EQ(Read("p.ppp"), patch);
}

// Flushes to disk that fail with EIO from the `failAt`-th one on: the first
// is the temporary file's, the second the folder's after the rename.
class FlushFailingHost : public RecordingHost {
public:
    explicit FlushFailingHost(int failAt) : failAt_(failAt) {}
    int FlushToDisk(NativeFile file) override {
        return ++calls_ >= failAt_ ? EIO : RecordingHost::FlushToDisk(file);
    }

private:
    int failAt_;
    int calls_ = 0;
};

// An output asked to overwrite or give back bytes past its end refuses
// rather than touching memory past its buffer; what it holds stays.
TEST_F(FailureTest, AnOutputGivesNothingPastItsEnd) {
    auto output = host_.CreateOutput(Path("out.rom"));
    const Bytes three = {1, 2, 3};
    output->Append(three);
    EXPECT_THROW(output->WriteAt(2, three), std::logic_error);
    Bytes back(2);
    EXPECT_THROW(output->ReadBack(2, back), std::logic_error);
    output->ReadBack(1, back);
    EXPECT_EQ(back, (Bytes{2, 3}));
}

TEST_F(FailureTest, AFailedFlushIsAFailedWrite) {
    const auto original = Write("a.rom", {1, 2});
    const auto patch = Write("p.ppp", PatchBytes({{0, {7}}}, ""));
#ifdef _WIN32
    const auto flushes = {1};  // the file's; a rename written through needs no more
#else
    const auto flushes = {1, 2};
#endif
    for (const int failAt : flushes) {
        const Bytes old = Text("old");
        const auto target = Write("out.rom", old);
        FlushFailingHost host(failAt);
        EXPECT_EQ(ApplyPatch(host, original, patch, target), Outcome::Stopped);
        ASSERT_EQ(host.messages.size(), 1u);
        // Before the rename the old bytes stay; after it the new ones are
        // there, but nobody is told they are safe, and the message says so.
        EXPECT_TRUE(CannotWrite(host.messages[0], target,
                                failAt == 1 ? "Input/output error"
                                            : "Input/output error (the new file has replaced the old one, but the "
                                              "system could not confirm that it is on disk)"));
        EXPECT_EQ(Read("out.rom"), failAt == 1 ? old : (Bytes{7, 2})) << failAt;
        EXPECT_EQ(Listing(), (std::vector<std::string>{"a.rom", "out.rom", "p.ppp"}));
    }
}

TEST_F(FailureTest, InputsOfTwoGibibytesAreRefused) {
    // Sparse, so the test costs no disk.
    const auto big = Path("big.rom");
    Write("big.rom", {});
    std::filesystem::resize_file(big, 0x80000000LL);
    const auto small = Write("a.rom", {1});
    EXPECT_EQ(MakePatch(host_, big, big, Path("p.ppp"), ""), Outcome::Stopped);
    EXPECT_EQ(MakePatch(host_, small, big, Path("p.ppp"), ""), Outcome::Stopped);
    const auto patch = Write("p.ppp", PatchBytes({}, ""));
    EXPECT_EQ(ApplyPatch(host_, big, patch, Path("out.rom")), Outcome::Stopped);
    ASSERT_EQ(host_.messages.size(), 3u);
    for (const auto& message : host_.messages) {
        EXPECT_EQ(message.style, MessageStyle::Critical);
        EXPECT_EQ(message.text, "Too large for a ZelkPatch (2 GiB or more): " + big);
    }
    EXPECT_FALSE(Exists("out.rom"));

    // One byte less is within the limit: each input passes its size check
    // and meets the next one (a patch too large, a shorter file, a fit).
    std::filesystem::resize_file(big, 0x7FFFFFFFLL);
    host_.messages.clear();
    EXPECT_EQ(MakePatch(host_, small, big, Path("p.ppp"), ""), Outcome::Stopped);
    EXPECT_EQ(MakePatch(host_, big, small, Path("p.ppp"), ""), Outcome::Stopped);
    ASSERT_EQ(host_.messages.size(), 2u);
    EXPECT_EQ(host_.messages[0].text, "Too large for a ZelkPatch (2 GiB or more): " + Path("p.ppp"));
    EXPECT_EQ(host_.messages[1].text, text::ShorterThanOriginal(small, 1, big, 0x7FFFFFFF));
    Verdict verdict;
    EXPECT_EQ(CheckOriginal(host_, big, patch, verdict), std::nullopt);
    EXPECT_EQ(verdict.fit, Fit::Fits);
}

#ifndef _WIN32
// Writes go through links to the file at their end, which need not exist
// yet; the links stay as they are, and a loop of them is refused.
TEST_F(FailureTest, LinkedTargetsAreWrittenThroughOrRefused) {
    const auto original = Write("a.rom", {1, 2});
    const auto patch = Write("p.ppp", PatchBytes({{0, {7}}}, ""));
    Write("real.rom", {0});
    std::filesystem::create_directory(dir_ / "elsewhere");
    const struct {
        const char* link;
        const char* to;
        const char* written;  // the file that gets the result; none when refused
    } rows[] = {
        {"link.rom", "real.rom", "real.rom"},
        {"chain.rom", "link.rom", "real.rom"},
        {"dangling.rom", "elsewhere/new.rom", "elsewhere/new.rom"},
        {"into-nothing.rom", "missing/new.rom", nullptr},
        {"loop1.rom", "loop2.rom", nullptr},
        {"loop2.rom", "loop1.rom", nullptr},
    };
    for (const auto& row : rows) std::filesystem::create_symlink(row.to, dir_ / row.link);
    for (const auto& row : rows) {
        host_.messages.clear();
        std::filesystem::remove(dir_ / "real.rom");
        Write("real.rom", {0});
        const Outcome outcome = ApplyPatch(host_, original, patch, Path(row.link));
        EXPECT_EQ(outcome, row.written ? Outcome::Done : Outcome::Stopped) << row.link;
        if (row.written) {
            EXPECT_EQ(Read(row.written), (Bytes{7, 2})) << row.link;
        } else {
            ASSERT_EQ(host_.messages.size(), 1u);
            EXPECT_TRUE(CannotWrite(host_.messages[0], Path(row.link),
                                    row.to[0] == 'm' ? "No such file or directory"
                                                     : "Too many levels of symbolic links"));
        }
        EXPECT_TRUE(std::filesystem::is_symlink(dir_ / row.link)) << row.link;
        EXPECT_EQ(std::filesystem::read_symlink(dir_ / row.link), row.to);
        EXPECT_TRUE(Temporaries().empty());
    }
    EXPECT_FALSE(Exists("missing"));
    // Ten links in a row are followed like one.
    for (int i = 0; i < 10; ++i)
        std::filesystem::create_symlink(i == 9 ? "real.rom" : "hop" + std::to_string(i + 1) + ".rom",
                                        dir_ / ("hop" + std::to_string(i) + ".rom"));
    Write("real.rom", {0});
    EXPECT_EQ(ApplyPatch(host_, original, patch, Path("hop0.rom")), Outcome::Done);
    EXPECT_EQ(Read("real.rom"), (Bytes{7, 2}));
    EXPECT_TRUE(std::filesystem::is_symlink(dir_ / "hop0.rom"));
}

#endif

// The temporary file's name must fit wherever the target's does.
TEST_F(FailureTest, LongestNamesWork) {
    const auto original = Write("a.rom", {1, 2});
    const auto changed = Write("b.rom", {1, 3});
    const std::string name = std::string(246, 'n') + ".rom";
    ASSERT_EQ(MakePatch(host_, original, changed, Path(name), ""), Outcome::Done) << Messages()[0].text;
    host_.messages.clear();
    const std::string result = std::string(246, 'o') + ".rom";
    Write(result, {9});
    ASSERT_EQ(ApplyPatch(host_, original, Path(name), Path(result)), Outcome::Done) << Messages()[0].text;
    EXPECT_EQ(Read(result), (Bytes{1, 3}));
    EXPECT_TRUE(Temporaries().empty());

    // Cut to fit, a temporary name ends on a whole character.
    std::string russian = "n";
    for (int i = 0; i < 120; ++i) russian += "я";
    russian += ".rom";
    const std::string temporary = TemporaryName(russian, 255);
    EXPECT_LE(temporary.size(), 255u);
    const auto whole = [](const std::string& text) {
        for (std::size_t i = 0; i < text.size();) {
            const auto lead = static_cast<unsigned char>(text[i]);
            const std::size_t length = lead < 0x80 ? 1 : lead >> 5 == 6 ? 2 : lead >> 4 == 14 ? 3 : lead >> 3 == 30 ? 4 : 0;
            if (length == 0 || i + length > text.size()) return false;
            for (std::size_t k = 1; k < length; ++k)
                if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
            i += length;
        }
        return true;
    };
    EXPECT_TRUE(whole(temporary)) << temporary;
    ASSERT_EQ(MakePatch(host_, original, changed, Path(russian), ""), Outcome::Done) << Messages().back().text;
    const std::string russianResult = "m" + russian.substr(1);
    ASSERT_EQ(ApplyPatch(host_, original, Path(russian), Path(russianResult)), Outcome::Done) << Messages().back().text;
    EXPECT_EQ(Read(russianResult), (Bytes{1, 3}));
    EXPECT_TRUE(Temporaries().empty());
}

// A patch must stay below 2 GiB, or its comment position overflows. The
// disk here fills after 1 MiB, so a maker without the guard fails fast.
TEST_F(FailureTest, APatchThatWouldReachTwoGibibytesIsRefused) {
    const auto original = Write("a.rom", {1});
    const auto changed = Write("b.rom", {});
    std::filesystem::resize_file(changed, kMaxFileSize - 8);  // sparse
    FullDiskHost host(1 << 20);
    EXPECT_EQ(MakePatch(host, original, changed, Path("p.ppp"), ""), Outcome::Stopped);
    EXPECT_EQ(host.messages, (std::vector<RecordedMessage>{
                                 {"Too large for a ZelkPatch (2 GiB or more): " + Path("p.ppp"), MessageStyle::Critical}}));
    EXPECT_FALSE(Exists("p.ppp"));
}

}  // namespace
}  // namespace zelk::test
