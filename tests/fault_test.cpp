// The zelkpatch program under real system faults: a file size limit, a full
// file system, and being killed in the middle of writing. Whatever happens,
// the target holds its old bytes or the complete new ones, the inputs are
// untouched, and "Done" is said only after success.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <sys/wait.h>
#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <functional>
#include <cstring>
#include <fstream>
#include <iostream>
#include <thread>

#include "engine/patch_applier.h"
#include "format_models.h"
#include "test_support.h"

namespace zelk::test {
namespace {

struct ProgramRun {
    int status = -1;  // exit status, or 128 + signal
    std::string out, err;
};

class FaultTest : public FileTest {
protected:
    // Starts zelkpatch with `args`, standard streams to files, after
    // `inChild` (limits, another user) has run in the new process.
    // `stdoutFd`, where given, is the standard output.
    pid_t Start(const std::vector<std::string>& args, const std::function<void()>& inChild = {}, int stdoutFd = -1) {
        const std::string out = (dir_ / "stdout.txt").string();
        const std::string err = (dir_ / "stderr.txt").string();
        const pid_t pid = fork();
        if (pid == 0) {
            const int o = stdoutFd >= 0 ? stdoutFd : ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (o < 0 || e < 0 || ::dup2(o, 1) < 0 || ::dup2(e, 2) < 0) _exit(126);
            if (inChild) inChild();
            std::vector<char*> argv{const_cast<char*>(ZELKPATCH_BIN)};
            for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            ::execv(ZELKPATCH_BIN, argv.data());
            _exit(127);
        }
        return pid;
    }
    ProgramRun Finish(pid_t pid) {
        ProgramRun run;
        int status = 0;
        ::waitpid(pid, &status, 0);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        const auto text = [&](const char* name) {
            if (!Exists(name)) return std::string();  // killed before it opened them
            const Bytes bytes = Read(name);
            std::filesystem::remove(dir_ / name);
            return std::string(bytes.begin(), bytes.end());
        };
        run.out = text("stdout.txt");
        run.err = text("stderr.txt");
        return run;
    }
    ProgramRun Zelkpatch(const std::vector<std::string>& args, const std::function<void()>& inChild = {}) {
        return Finish(Start(args, inChild));
    }
    static std::function<void()> Limit(int resource, rlim_t bytes) {
        return [=] {
            const rlimit limit{bytes, bytes};
            if (::setrlimit(resource, &limit) != 0) _exit(125);
        };
    }
    // Whether `body`, run in a child process (free to change its user or its
    // signal handlers), returned true.
    static bool InChild(const std::function<bool()>& body) {
        const pid_t pid = fork();
        if (pid == 0) {
            bool held = false;
            try {
                held = body();
            } catch (...) {
            }
            _exit(held ? 0 : 1);
        }
        int status = 0;
        return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    // Mounts a 256 KiB file system at `small`, in a mount namespace of this
    // test's own: it never shows in the machine's mount table, and goes away
    // with the test even when it crashes. Why not, where the machine cannot.
    static std::string MountSmall(const std::filesystem::path& small) {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return std::string("cannot make a private mount namespace here: ") + std::strerror(errno);
        std::filesystem::create_directory(small);
        if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=256k") != 0)
            return std::string("cannot mount a small file system here: ") + std::strerror(errno);
        return {};
    }
    // Whether this folder's file system writes unnamed files (O_TMPFILE).
    bool UnnamedFilesWork() const {
        const int fd = ::open(dir_.c_str(), O_TMPFILE | O_RDWR, 0600);
        if (fd >= 0) ::close(fd);
        return fd >= 0;
    }
    void ExpectNoDone(const ProgramRun& run) {
        EXPECT_EQ(run.out.find("Done"), std::string::npos) << run.out;
        EXPECT_EQ(run.err.find("Done"), std::string::npos) << run.err;
    }
};

TEST_F(FaultTest, FileSizeLimitIsReportedAndTheTargetsKeepTheirBytes) {
    const Bytes original = Random(1 << 20, 1);
    Bytes changed = Random(3 << 20, 2);
    const auto a = Write("a.rom", original);
    const auto b = Write("b.rom", changed);
    ASSERT_EQ(Zelkpatch({"make", a, b, Path("good.ppp")}).status, 0);
    ASSERT_EQ(Zelkpatch({"make", a, b, Path("good.bps")}).status, 0);
    Bytes wrong = original;
    wrong[0] ^= 1;
    const auto w = Write("wrong.rom", wrong);
    const Bytes oldPatch = Text("an older patch");
    const Bytes oldRom = Text("an older rom");
    Write("p.ppp", oldPatch);
    Write("out.rom", oldRom);
    // Past the limit a write fails with EFBIG (SIGXFSZ is ignored). The
    // limit covers the message files too, so it leaves room for them.
    for (const rlim_t limit : {rlim_t{4096}, rlim_t{300000}, rlim_t{2 << 20}}) {
        const ProgramRun make = Zelkpatch({"make", a, b, Path("p.ppp")}, Limit(RLIMIT_FSIZE, limit));
        EXPECT_EQ(make.status, 1) << limit;
        EXPECT_NE(make.err.find("Cannot write " + Path("p.ppp") + ": File too large"), std::string::npos) << make.err;
        ExpectNoDone(make);
        const ProgramRun apply = Zelkpatch({"apply", a, Path("good.ppp"), Path("out.rom")}, Limit(RLIMIT_FSIZE, limit));
        EXPECT_EQ(apply.status, 1) << limit;
        EXPECT_NE(apply.err.find("Cannot write " + Path("out.rom")), std::string::npos) << apply.err;
        ExpectNoDone(apply);
        // A wrong original of the right size is told as such, whatever
        // writing its result would have met.
        const ProgramRun wrongOne = Zelkpatch({"apply", w, Path("good.bps"), Path("out.rom")}, Limit(RLIMIT_FSIZE, limit));
        EXPECT_EQ(wrongOne.status, 1) << limit;
        EXPECT_NE(wrongOne.err.find(w + " is not the file this BPS patch was made for"), std::string::npos) << wrongOne.err;
        EXPECT_EQ(Read("p.ppp"), oldPatch);
        EXPECT_EQ(Read("out.rom"), oldRom);
        EXPECT_TRUE(Temporaries().empty());
    }
    EXPECT_EQ(Read("a.rom"), original);
    EXPECT_EQ(Read("b.rom"), changed);
}

TEST_F(FaultTest, FullFileSystemIsReportedAndTheTargetKeepsItsBytes) {
    const auto small = dir_ / "small";
    if (const std::string cannot = MountSmall(small); !cannot.empty()) GTEST_SKIP() << cannot;
    const Bytes original = Random(200000, 3);
    const auto a = Write("a.rom", original);
    const auto b = Write("b.rom", Random(300000, 4));
    ASSERT_EQ(Zelkpatch({"make", a, b, Path("good.ppp")}).status, 0);
    const std::string target = (small / "out.rom").string();
    {
        std::ofstream old(target, std::ios::binary);
        old << "old bytes";
    }
    const ProgramRun make = Zelkpatch({"make", a, b, (small / "p.ppp").string()});
    const ProgramRun apply = Zelkpatch({"apply", a, Path("good.ppp"), target});
    std::vector<std::string> inSmall;
    for (const auto& entry : std::filesystem::directory_iterator(small)) inSmall.push_back(entry.path().filename());
    std::ifstream in(target, std::ios::binary);
    const std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ::umount(small.c_str());

    EXPECT_EQ(make.status, 1);
    EXPECT_NE(make.err.find("No space left on device"), std::string::npos) << make.err;
    ExpectNoDone(make);
    // The result's room is asked for before it is written.
    EXPECT_EQ(apply.status, 1);
    EXPECT_NE(apply.err.find("Cannot write " + target + ": the result needs 300000 bytes, and " + small.string() + " has "),
              std::string::npos)
        << apply.err;
    ExpectNoDone(apply);
    EXPECT_EQ(kept, "old bytes");
    EXPECT_EQ(inSmall, std::vector<std::string>{"out.rom"});
    EXPECT_EQ(Read("a.rom"), original);
}

// A result is refused before a byte of it is written where the file system
// cannot hold it: a 36-byte BPS patch may promise a terabyte. Where the file
// system sets no room aside, the bytes are written until it is full, as
// before, and nothing is left either way.
TEST_F(FaultTest, AResultThatCannotFitIsRefusedBeforeItIsWritten) {
    const auto small = dir_ / "small";
    if (const std::string cannot = MountSmall(small); !cannot.empty()) GTEST_SKIP() << cannot;
    const Bytes source = Random(1000, 40);
    const auto a = Write("a.rom", source);
    // One new byte, then the result copied from itself up to 1 TB.
    Bytes body = {0x80, 0x80 | 1, 0x42};
    model::PutNumber(body, ((std::uint64_t{1} << 40) - 2) << 2 | 3);
    model::PutNumber(body, 0);
    const auto huge = Write("huge.bps", model::Checksummed("BPS1", 1000, std::uint64_t{1} << 40, body, model::Crc(source)));
    const auto fits = Write("fits.ppp", PatchBytes({{0, {7}}, {1000, Bytes(100000, 9)}}, ""));
    const auto big = Write("big.ppp", PatchBytes({{0, {7}}, {1000, Bytes(400000, 9)}}, ""));
    const std::string target = (small / "out.rom").string();
    // Hosts whose file system sets no room aside, or less than it says is free.
    struct Reserving : RecordingHost {
        explicit Reserving(int answer) : answer(answer) {}
        int ReserveSpace(NativeFile file, std::uint64_t size) override {
            const bool own = answer == 0 || (answer == ENOSPC && size == 1);
            return own ? RecordingHost::ReserveSpace(file, size) : answer;
        }
        int answer;
    };
    const struct {
        const char* name;
        std::string patch;
        int answer;  // what the file system says to a reservation (ENOSPC: of more than a byte); 0: its own
        std::string told;  // the start of the message
    } rows[] = {
        {"a terabyte promised", huge, 0, "Cannot write " + target + ": the result needs 1099511627776 bytes, and "},
        {"a ZelkPatch's result too large", big, 0, "Cannot write " + target + ": the result needs 401000 bytes, and "},
        {"less room than it says", fits, ENOSPC, "Cannot write " + target + ": the result needs 101000 bytes, and "},
        {"no room set aside: written until full", big, EOPNOTSUPP, "Cannot write " + target + ": No space left on device"},
        {"a result that fits", fits, 0, ""},
    };
    for (const auto& row : rows) {
        std::filesystem::remove(target);
        struct statvfs room {};
        ASSERT_EQ(::statvfs(small.c_str(), &room), 0);
        const std::string free = std::to_string(static_cast<std::uint64_t>(room.f_bavail) * room.f_frsize);
        Reserving host(row.answer);
        const Outcome outcome = ApplyPatch(host, a, row.patch, target);
        std::vector<std::string> left;
        for (const auto& entry : std::filesystem::directory_iterator(small)) left.push_back(entry.path().filename());
        if (row.told.empty()) {
            EXPECT_EQ(outcome, Outcome::Done) << row.name;
            EXPECT_EQ(left, std::vector<std::string>{"out.rom"}) << row.name;
            EXPECT_EQ(std::filesystem::file_size(target), 101000u) << row.name;
            continue;
        }
        EXPECT_EQ(outcome, Outcome::Stopped) << row.name;
        ASSERT_FALSE(host.messages.empty()) << row.name;
        EXPECT_EQ(host.messages.back().text.rfind(row.told, 0), 0u) << row.name << ": " << host.messages.back().text;
        if (row.answer != EOPNOTSUPP) {
            EXPECT_NE(host.messages.back().text.find(small.string() + " has " + free + " bytes free"), std::string::npos)
                << host.messages.back().text;
        }
        EXPECT_TRUE(left.empty()) << row.name;
    }
    ::umount(small.c_str());
}

TEST_F(FaultTest, KilledWhileWritingLeavesOldOrCompleteTarget) {
    const Bytes original = Random(48 << 20, 5);
    Bytes changed = original;
    for (std::size_t i = 0; i < changed.size(); i += 64) changed[i] ^= 0xFF;  // a large patch too
    const auto a = Write("a.rom", original);
    const auto b = Write("b.rom", changed);
    ASSERT_EQ(Zelkpatch({"make", a, b, Path("good.ppp")}).status, 0);
    const Bytes patch = Read("good.ppp");
    const Bytes old = Text("old bytes");

    bool killedMidWrite = false;
    bool finished = false;
    for (int delayMs = 0; !finished && delayMs < 3000; delayMs += 1 + delayMs / 4) {
        for (const bool apply : {true, false}) {
            const std::string target = apply ? Path("out.rom") : Path("p.ppp");
            Write(apply ? "out.rom" : "p.ppp", old);
            const pid_t pid = apply ? Start({"apply", a, Path("good.ppp"), target}) : Start({"make", a, b, target});
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            ::kill(pid, SIGKILL);
            const ProgramRun run = Finish(pid);
            const Bytes now = Read(apply ? "out.rom" : "p.ppp");
            if (run.status == 128 + SIGKILL) {
                EXPECT_TRUE(now == old || now == (apply ? changed : patch)) << "killed after " << delayMs << " ms";
                killedMidWrite = killedMidWrite || now == old;
                // Written unnamed, nothing of it can be left.
                if (UnnamedFilesWork()) {
                    EXPECT_TRUE(Temporaries().empty()) << "killed after " << delayMs << " ms";
                }
            } else {
                ASSERT_EQ(run.status, 0);
                EXPECT_EQ(now, apply ? changed : patch);
                finished = finished || apply;
            }
            for (const auto& temp : Temporaries()) std::filesystem::remove(dir_ / temp);
        }
    }
    EXPECT_TRUE(killedMidWrite) << "no kill landed while the result was being written";
    EXPECT_EQ(Read("a.rom"), original);
    EXPECT_EQ(Read("b.rom"), changed);
    EXPECT_EQ(Read("good.ppp"), patch);
}

TEST_F(FaultTest, DevicesPipesAndSocketsAreNeverReplaced) {
    const auto a = Write("a.rom", {1, 2});
    const auto b = Write("b.rom", {1, 3});
    const auto p = Write("p.ppp", PatchBytes({{1, {3}}}, ""));
    struct Node {
        std::string name;
        mode_t type;
    };
    std::vector<Node> nodes{{"fifo", S_IFIFO}, {"socket", S_IFSOCK}, {"fifo-link", S_IFIFO}};
    ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0644), 0);
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", Path("socket").c_str());
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << Path("socket");
    std::filesystem::create_symlink("fifo", dir_ / "fifo-link");
    // A copy of /dev/null (never the machine's own: a fault here must not
    // break the machine) needs the right to make device nodes.
    if (::mknod(Path("null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
        std::filesystem::create_symlink("null", dir_ / "null-link");
        nodes.insert(nodes.end(), {{"null", S_IFCHR}, {"null-link", S_IFCHR}});
    }

    for (const Node& node : nodes) {
        for (const bool apply : {false, true}) {
            const std::string target = Path(node.name);
            const ProgramRun run = apply ? Zelkpatch({"apply", a, p, target}) : Zelkpatch({"make", a, b, target});
            EXPECT_EQ(run.status, 1) << node.name;
            EXPECT_NE(run.err.find("Cannot write " + target + ": it is a"), std::string::npos) << run.err;
            EXPECT_NE(run.err.find("not a regular file"), std::string::npos) << run.err;
            ExpectNoDone(run);
            struct stat st {};
            ASSERT_EQ(::stat(target.c_str(), &st), 0) << node.name;
            EXPECT_EQ(st.st_mode & S_IFMT, node.type) << node.name;
            EXPECT_TRUE(Temporaries().empty()) << node.name;
        }
    }
    ::close(sock);
    EXPECT_TRUE(std::filesystem::is_symlink(dir_ / "fifo-link"));
}

TEST_F(FaultTest, FailedWritesToStandardOutputFailTheRun) {
    const auto p = Write("p.ppp", PatchBytes({{1, {3}}}, "a comment"));
    int closedPipe[2];
    ASSERT_EQ(::pipe(closedPipe), 0);
    ::close(closedPipe[0]);
    const int full = ::open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    struct Case {
        int fd;
        std::string err;  // what standard error says
    };
    // A reader that went away (`| head`) is no news to anybody.
    for (const Case& c : {Case{full, "zelkpatch: cannot write to standard output: No space left on device\n"},
                          Case{closedPipe[1], ""}}) {
        for (const std::vector<std::string>& args : {std::vector<std::string>{"info", p},
                                                     std::vector<std::string>{"--help"}}) {
            const ProgramRun run = Finish(Start(args, {}, c.fd));
            EXPECT_EQ(run.status, 1) << args[0];
            EXPECT_EQ(run.err, c.err) << args[0];
        }
    }
    ::close(full);
    ::close(closedPipe[1]);
}

TEST_F(FaultTest, CommentsReachTheTerminalEscaped) {
    const auto a = Write("a.rom", {1});
    // The comment is shown up to 64 KiB: a CR at the cut may be half of a
    // CR LF, so it is left out with the rest, and counted.
    const std::string slice(64 * 1024 - 1, 'a');
    const struct {
        std::string comment, shown;
    } rows[] = {
        {"title\x1b]0;pwned\x07\r\nline two\x1b[2J\x7f", "title\\x1B]0;pwned\\x07\nline two\\x1B[2J\\x7F\n"},
        {slice + "\rb", slice + "\n[2 more bytes of the comment not shown]\n"},
        {slice + "\r\nb", slice + "\n[3 more bytes of the comment not shown]\n"},
        {slice + "\n", slice + "\n\n"},
        {"end\r", "end\\x0D\n"},
    };
    for (const auto& row : rows) {
        // The original already holds the patch's byte: applied as asked, a
        // warning comes too.
        const auto p = Write("p.ppp", PatchBytes({{0, {1}}}, row.comment));
        for (const std::vector<std::string>& args : {std::vector<std::string>{"apply", "--force", a, p, Path("o.rom")},
                                                     std::vector<std::string>{"info", p}}) {
            const ProgramRun run = Zelkpatch(args);
            EXPECT_EQ(run.status, 0);
            EXPECT_EQ(run.out.find('\x1b'), std::string::npos);
            EXPECT_EQ(run.out.find('\x07'), std::string::npos);
            EXPECT_NE(run.out.find(row.shown), std::string::npos) << row.shown.substr(row.shown.size() - 20);
            EXPECT_EQ(run.out.find("\\x0D\\x0D"), std::string::npos);
            // The fit warning is standard error's alone.
            EXPECT_EQ(run.out.find("already applied"), std::string::npos);
            EXPECT_EQ(run.err.find("already applied") != std::string::npos, args[0] == "apply") << run.err;
        }
    }
}

// A replaced file keeps its owner, group and mode wherever the user may
// give them, and a set-ID bit never passes to an owner or group the file did
// not have; a new file's mode comes from the umask. Rows marked `asUser` run
// as uid 1000 (gid 1000, also in group 100), as an ordinary user would.
TEST_F(FaultTest, ReplacedFilesKeepOwnerGroupAndMode) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files to other users";
    const auto a = Write("a.rom", {1, 2});
    const auto p = Write("p.ppp", PatchBytes({{0, {7}}}, ""));
    struct Row {
        const char* name;
        const char* folder;  // made with `folderMode`, owned by root
        mode_t folderMode;
        bool asUser;
        bool exists;
        uid_t uid;
        gid_t gid;
        mode_t mode, umask;
        uid_t wantUid;
        gid_t wantGid;
        mode_t wantMode;
        // setfacl's -m for the target (for the folder's default ACL with
        // "-d "), and what getfacl -n must then show of the result.
        const char* acl = nullptr;
        const char* wantAcl = nullptr;
    };
    const Row rows[] = {
        {"stranger's set-user-ID file", "open", 0777, false, true, 65534, 65534, 04755, 022, 65534, 65534, 04755},
        {"own 0640 file", "open", 0777, false, true, 0, 0, 0640, 022, 0, 0, 0640},
        {"new file, umask 027", "open", 0777, false, false, 0, 0, 0, 027, 0, 0, 0640},
        {"group's file", "open", 0777, true, true, 65534, 100, 0664, 022, 1000, 100, 0664},
        {"group's set-ID file", "open", 0777, true, true, 65534, 100, 06774, 022, 1000, 100, 02774},
        {"stranger's set-user-ID file", "open", 0777, true, true, 65534, 65534, 04666, 022, 1000, 1000, 0666},
        {"stranger's set-group-ID file", "open", 0777, true, true, 65534, 65534, 02666, 022, 1000, 1000, 0666},
        {"new file, umask 022", "open", 0777, true, false, 0, 0, 0, 022, 1000, 1000, 0644},
        {"in a folder that cannot be read", "unreadable", 0333, true, true, 1000, 1000, 0644, 022, 1000, 1000, 0644},
        {"new, in a folder that cannot be read", "unreadable", 0333, true, false, 0, 0, 0, 022, 1000, 1000, 0644},
        {"own file with an ACL", "open", 0777, false, true, 0, 0, 0640, 022, 0, 0, 0660, "u:65534:rw,m::rw",
         "user:65534:rw-"},
        {"user's file with an ACL", "open", 0777, true, true, 1000, 1000, 0600, 022, 1000, 1000, 0640, "g:100:r",
         "group:100:r--"},
        {"new file under a default ACL", "defaults", 0777, false, false, 0, 0, 0, 022, 0, 0, 0660, "-d o::-",
         "other::---"},
    };
    for (const Row& row : rows) {
        const std::filesystem::path folder = dir_ / row.folder;
        std::filesystem::create_directories(folder);
        ASSERT_EQ(::chmod(folder.c_str(), row.folderMode), 0);
        const std::string target = (folder / "out.rom").string();
        std::filesystem::remove(target);
        if (row.exists) {
            std::ofstream(target, std::ios::binary) << "old";
            ASSERT_EQ(::chown(target.c_str(), row.uid, row.gid), 0);
            ASSERT_EQ(::chmod(target.c_str(), row.mode), 0);
        }
        if (row.acl != nullptr) {
            const bool folderDefault = std::string(row.acl).rfind("-d ", 0) == 0;
            const std::string command = "setfacl " + std::string(folderDefault ? "-d -m " : "-m ") +
                                        (row.acl + (folderDefault ? 3 : 0)) + " '" +
                                        (folderDefault ? folder.string() : target) + "' 2>/dev/null";
            if (std::system(command.c_str()) != 0) {
                std::cout << "[ SKIPPED  ] " << row.name << ": this file system takes no ACLs\n";
                continue;
            }
            if (row.exists) {
                ASSERT_EQ(::setxattr(target.c_str(), "user.note", "kept", 4, 0), 0) << row.name;
            }
        }
        const ProgramRun run = Zelkpatch({"apply", a, p, target}, [&] {
            ::umask(row.umask);
            const gid_t groups[] = {100};
            if (row.asUser && (::setgroups(1, groups) != 0 || ::setgid(1000) != 0 || ::setuid(1000) != 0)) _exit(125);
        });
        EXPECT_EQ(run.status, 0) << row.name << ": " << run.err;
        struct stat st {};
        ASSERT_EQ(::stat(target.c_str(), &st), 0) << row.name;
        EXPECT_EQ(st.st_uid, row.wantUid) << row.name;
        EXPECT_EQ(st.st_gid, row.wantGid) << row.name;
        EXPECT_EQ(st.st_mode & 07777, row.wantMode) << row.name << std::oct << " mode " << (st.st_mode & 07777);
        if (row.wantAcl != nullptr) {
            std::FILE* acl = ::popen(("getfacl -n -p '" + target + "' 2>/dev/null").c_str(), "r");
            ASSERT_NE(acl, nullptr);
            std::string shown;
            for (int c; (c = std::fgetc(acl)) != EOF;) shown += static_cast<char>(c);
            ::pclose(acl);
            EXPECT_NE(shown.find(row.wantAcl), std::string::npos) << row.name << ": " << shown;
            char note[8] = {};
            if (row.exists) {
                EXPECT_EQ(::getxattr(target.c_str(), "user.note", note, sizeof note), 4) << row.name;
            }
        }
        std::ifstream in(target, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), std::string("\x07\x02")) << row.name;
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            EXPECT_EQ(entry.path().filename(), "out.rom") << row.name;
    }
}

// A folder that may be written but not read cannot be flushed alone: the
// rename reaches the disk with the whole file system's flush, whose failure
// is told like any other.
TEST_F(FaultTest, AnUnreadableFolderIsFlushedWithItsFileSystem) {
    const auto a = Write("a.rom", {1, 2});
    const auto p = Write("p.ppp", PatchBytes({{0, {7}}}, ""));
    const std::filesystem::path folder = dir_ / "write-only";
    std::filesystem::create_directory(folder);
    const std::string target = (folder / "out.rom").string();
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(folder.c_str(), 1000, 1000), 0);
    }
    ASSERT_EQ(::chmod(folder.c_str(), 0330), 0);
    const bool told = InChild([&] {
        struct FailingSync : RecordingHost {
            int FlushFileSystem(NativeFile) override { return EIO; }
        } host;
        if (root && (::setgid(1000) != 0 || ::setuid(1000) != 0)) return false;
        return ApplyPatch(host, a, p, target) == Outcome::Stopped && host.messages.size() == 1 &&
               host.messages[0].text == "Cannot write " + target +
                                            ": Input/output error (the new file has replaced the old one, but the "
                                            "system could not confirm that it is on disk)";
    });
    ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
    EXPECT_TRUE(told);
    EXPECT_EQ(Read("write-only/out.rom"), (Bytes{7, 2}));
}

// An append-only folder lets no name be replaced or removed: an existing
// target is refused before anything is written, a new one is made, and
// nothing is left behind either way.
TEST_F(FaultTest, AnAppendOnlyFolderCollectsNothing) {
    const auto a = Write("a.rom", {1, 2});
    const auto p = Write("p.ppp", PatchBytes({{0, {7}}}, ""));
    const std::filesystem::path folder = dir_ / "append-only";
    std::filesystem::create_directory(folder);
    Write("append-only/old.rom", Text("old"));
    if (std::system(("chattr +a '" + folder.string() + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "this file system or user cannot mark a folder append-only";
    const ProgramRun replaced = Zelkpatch({"apply", a, p, (folder / "old.rom").string()});
    const ProgramRun made = Zelkpatch({"apply", a, p, (folder / "new.rom").string()});
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
    ASSERT_EQ(std::system(("chattr -a '" + folder.string() + "'").c_str()), 0);
    EXPECT_EQ(replaced.status, 1);
    EXPECT_NE(replaced.err.find("its folder is append-only"), std::string::npos) << replaced.err;
    EXPECT_EQ(Read("append-only/old.rom"), Text("old"));
    std::sort(names.begin(), names.end());
    if (UnnamedFilesWork()) {
        EXPECT_EQ(made.status, 0) << made.err;
        EXPECT_EQ(names, (std::vector<std::string>{"new.rom", "old.rom"}));
    } else {
        EXPECT_EQ(names, std::vector<std::string>{"old.rom"});
    }

    // Made append-only while a named temporary is written, the folder keeps
    // it: the message that stops the run names it, for the user to remove.
    const bool named = InChild([&] {
        struct LockedMidWrite : RecordingHost {
            explicit LockedMidWrite(std::string folder) : folder(std::move(folder)) {}
            bool UnnamedFiles() override { return false; }
            int FlushToDisk(NativeFile) override {
                return std::system(("chattr +a '" + folder + "'").c_str()) == 0 ? EIO : 0;
            }
            std::string folder;
        } host(folder.string());
        const bool stopped = ApplyPatch(host, a, p, (folder / "old.rom").string()) == Outcome::Stopped;
        const std::string said = host.messages.empty() ? "" : host.messages.back().text;
        const std::string start = "\nThe temporary file " + folder.string() + "/.old.rom.zelk-";
        const std::size_t at = said.find(start);
        return stopped && at != std::string::npos &&
               said.ends_with(" could not be removed (Operation not permitted): remove it by hand") &&
               std::filesystem::exists(said.substr(at + 1 + 19, said.find(" could") - at - 1 - 19));
    });
    ASSERT_EQ(std::system(("chattr -a '" + folder.string() + "'").c_str()), 0);
    EXPECT_TRUE(named);
    EXPECT_EQ(Read("append-only/old.rom"), Text("old"));
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.path().filename() != "old.rom" && entry.path().filename() != "new.rom") std::filesystem::remove(entry);
}

// Interrupted while the result is being written (here: held in the flush
// before the rename), the program removes its temporary file, leaves the
// old target, and ends with the signal.
TEST_F(FaultTest, SignalsRemoveTheTemporaryFile) {
    const auto a = Write("a.rom", {1, 2});
    const auto p = Write("p.ppp", PatchBytes({{0, {7}}}, ""));
    const bool unnamedWork = UnnamedFilesWork();
    for (const bool unnamed : {true, false}) {
        // A named temporary (the fallback) goes only on the signals that can
        // be handled; an unnamed one leaves nothing on any.
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGXCPU, SIGKILL}) {
            const bool handled = signal == SIGINT || signal == SIGTERM || signal == SIGHUP;
            if (!unnamed && !handled) continue;
            Write("out.rom", Text("old"));
            int ready[2];
            ASSERT_EQ(::pipe(ready), 0);
            const pid_t pid = fork();
            if (pid == 0) {
                struct HeldFlush : RecordingHost {
                    HeldFlush(int fd, bool unnamed) : fd(fd), unnamed(unnamed) {}
                    int FlushToDisk(NativeFile) override {
                        (void)!::write(fd, "x", 1);
                        for (;;) ::pause();
                    }
                    bool UnnamedFiles() override { return unnamed; }
                    // Private while it is written: nobody else's business yet.
                    void TemporaryCreated(NativeFile file) override {
                        struct stat st {};
                        if (::fstat(static_cast<int>(file), &st) != 0 || (st.st_mode & 07777) != 0600) _exit(124);
                    }
                    int fd;
                    bool unnamed;
                } host(ready[1], unnamed);
                PrepareProcess();
                ApplyPatch(host, a, p, Path("out.rom"));
                _exit(0);
            }
            // Only the child writes: one that ends early reads as end of file.
            ::close(ready[1]);
            char byte = 0;
            ASSERT_EQ(::read(ready[0], &byte, 1), 1) << signal << (unnamed ? " unnamed" : " named");
            EXPECT_EQ(Temporaries().size(), unnamed && unnamedWork ? 0u : 1u) << signal;
            ::kill(pid, signal);
            int status = 0;
            ASSERT_EQ(::waitpid(pid, &status, 0), pid);
            ::close(ready[0]);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << signal << " ended with " << status;
            EXPECT_TRUE(Temporaries().empty()) << signal << (unnamed ? " unnamed" : " named");
            EXPECT_EQ(Read("out.rom"), Text("old"));
            for (const auto& temp : Temporaries()) std::filesystem::remove(dir_ / temp);
        }
    }
    // A hang-up the caller chose to ignore (nohup) stays ignored: the run finishes.
    Write("out.rom", Text("old"));
    EXPECT_TRUE(InChild([&] {
        struct HangUpInFlush : RecordingHost {
            int FlushToDisk(NativeFile file) override {
                ::raise(SIGHUP);
                return RecordingHost::FlushToDisk(file);
            }
        } host;
        std::signal(SIGHUP, SIG_IGN);
        PrepareProcess();
        return ApplyPatch(host, a, p, Path("out.rom")) == Outcome::Done;
    }));
    EXPECT_EQ(Read("out.rom"), (Bytes{7, 2}));
}

// Between the check of the target and the rename, another program may put
// a pipe at the target's name: the pipe is not replaced, and nothing is left.
TEST_F(FaultTest, APipeMadeAtTheTargetMeanwhileIsLeftAlone) {
    const auto a = Write("a.rom", {1, 2});
    const auto p = Write("p.ppp", PatchBytes({{0, {7}}}, ""));
    const std::string target = Path("out.rom");
    for (const bool existing : {false, true}) {
        for (const bool unnamed : {true, false}) {
            std::filesystem::remove(target);
            if (existing) Write("out.rom", Text("old"));
            struct PipeAtTarget : RecordingHost {
                PipeAtTarget(std::string target, bool unnamed) : target(std::move(target)), unnamed(unnamed) {}
                int FlushToDisk(NativeFile file) override {
                    if (!made) {
                        std::filesystem::remove(target);
                        made = ::mkfifo(target.c_str(), 0600) == 0;
                    }
                    return RecordingHost::FlushToDisk(file);
                }
                bool UnnamedFiles() override { return unnamed; }
                std::string target;
                bool unnamed;
                bool made = false;
            } host(target, unnamed);
            const std::string row = std::string(existing ? "replacing" : "new") + (unnamed ? ", unnamed" : ", named");
            EXPECT_EQ(ApplyPatch(host, a, p, target), Outcome::Stopped) << row;
            EXPECT_TRUE(host.made) << row;
            EXPECT_EQ(host.messages, (std::vector<RecordedMessage>{
                                         {"Cannot write " + target + ": it is a named pipe, not a regular file",
                                          MessageStyle::Critical}}))
                << row;
            struct stat st {};
            EXPECT_TRUE(::lstat(target.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) << row;
            EXPECT_TRUE(Temporaries().empty()) << row;
        }
    }
    std::filesystem::remove(target);
}

// A signal that arrives while the folder is flushed waits for the flush:
// the replaced target is on disk before the program ends.
TEST_F(FaultTest, ATerminationDuringTheFolderFlushWaitsForIt) {
    const auto a = Write("a.rom", {1, 2});
    const auto p = Write("p.ppp", PatchBytes({{0, {7}}}, ""));
    for (const bool existing : {false, true}) {
        std::filesystem::remove(dir_ / "out.rom");
        std::filesystem::remove(dir_ / "flushed");
        if (existing) Write("out.rom", Text("old"));
        const pid_t pid = fork();
        if (pid == 0) {
            struct TermInFolderFlush : RecordingHost {
                explicit TermInFolderFlush(std::string marker) : marker(std::move(marker)) {}
                int FlushToDisk(NativeFile file) override {
                    if (++calls < 2) return RecordingHost::FlushToDisk(file);
                    ::raise(SIGTERM);  // the second: the folder's
                    const int error = RecordingHost::FlushToDisk(file);
                    std::ofstream(marker) << "done";
                    return error;
                }
                std::string marker;
                int calls = 0;
            } host(Path("flushed"));
            PrepareProcess();
            ApplyPatch(host, a, p, Path("out.rom"));
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
        EXPECT_TRUE(Exists("flushed")) << (existing ? "replacing" : "new");
        EXPECT_EQ(Read("out.rom"), (Bytes{7, 2}));
        EXPECT_TRUE(Temporaries().empty());
    }
}

// Where the access ACL cannot be given to the new file, its mode alone would
// hand the group the ACL's mask: only the owner keeps access.
TEST_F(FaultTest, AnAclThatCannotBeKeptLeavesTheFileToItsOwner) {
    const auto a = Write("a.rom", {1, 2});
    const auto p = Write("p.ppp", PatchBytes({{0, {7}}}, ""));
    const auto target = Write("out.rom", Text("old"));
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    if (std::system(("setfacl -m u:65534:rw,m::rw '" + target + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "this file system takes no ACLs";
    struct NoAcl : RecordingHost {
        int SetAttribute(NativeFile file, const char* name, std::span<const char> value) override {
            if (std::strcmp(name, "system.posix_acl_access") == 0) return EOPNOTSUPP;
            return RecordingHost::SetAttribute(file, name, value);
        }
    } host;
    ASSERT_EQ(ApplyPatch(host, a, p, target), Outcome::Done);
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << std::oct << (st.st_mode & 07777);
    ASSERT_EQ(host.warnings.size(), 1u);
    EXPECT_NE(host.warnings[0].find("its access ACL could not be kept (Operation not supported), so only its owner may "
                                    "use the new file"),
              std::string::npos)
        << host.warnings[0];
    EXPECT_EQ(Read("out.rom"), (Bytes{7, 2}));
}

// A file this user may not read says so before anything else is done (as
// root, the test reads as another user: root reads any file).
TEST_F(FaultTest, AFileThatMayNotBeReadIsNamedSo) {
    const auto a = Write("a.rom", {1, 2});
    const auto p = Write("p.ppp", PatchBytes({{0, {7}}}, ""));
    ASSERT_EQ(::chmod(a.c_str(), 0000), 0);
    const bool root = ::geteuid() == 0;
    EXPECT_TRUE(InChild([&] {
        if (root && (::setgid(1000) != 0 || ::setuid(1000) != 0)) return false;
        RecordingHost host;
        return ApplyPatch(host, a, p, Path("out.rom")) == Outcome::Stopped &&
               host.messages == std::vector<RecordedMessage>{{"Cannot read " + a + ": Permission denied", MessageStyle::Critical}};
    }));
    ASSERT_EQ(::chmod(a.c_str(), 0644), 0);
    EXPECT_FALSE(Exists("out.rom"));
}

// A comment of any size is printed in bounded memory: 64 MiB of control
// bytes (four bytes each once escaped) under a 160 MiB address-space limit.
TEST_F(FaultTest, AHugeCommentNeedsNoMemoryOfItsSize) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves more address space than the limit allows";
#endif
    constexpr std::size_t kComment = 64 << 20;
    const auto a = Write("a.rom", {1, 2});
    const auto p = Write("p.ppp", Concat({PatchBytes({{0, {7}}}, ""), Bytes(kComment, 0x01)}));
    const std::string printed = Path("printed.txt");
    const int out = ::open(printed.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(out, 0);
    const ProgramRun run = Finish(Start({"apply", a, p, Path("out.rom")}, Limit(RLIMIT_AS, 160 << 20), out));
    ::close(out);
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string done = "Done applying ZelkPatch! \n";
    // No more than 64 KiB of it is printed, then how much was left out.
    const std::string left = std::string(1, '\n').append(CommentLeftOut(kComment - kCommentShownBytes)).append(1, '\n');
    EXPECT_EQ(std::filesystem::file_size(printed), 4 * kCommentShownBytes + left.size() + done.size());
    std::ifstream in(printed, std::ios::binary);
    std::string start(8, '\0');
    in.read(start.data(), 8);
    EXPECT_EQ(start, "\\x01\\x01");
    in.seekg(-static_cast<std::streamoff>(done.size()), std::ios::end);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), done);
    std::filesystem::remove(printed);
    EXPECT_EQ(Read("out.rom"), (Bytes{7, 2}));
}

}  // namespace
}  // namespace zelk::test
