#include "engine/file_hashes.h"

#include <md5.h>
#include <sha1.h>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "engine/byte_reader.h"
#include "engine/user_texts.h"
#include "host/crc32.h"

namespace zelk {

std::uint32_t CrcOfFirst(InputFile& file, std::uint64_t length, std::size_t bufferSize) {
    std::uint32_t crc = 0;
    ByteReader reader(file, 0, bufferSize);
    for (std::uint64_t left = length; left > 0;) {
        const auto piece = reader.Next(static_cast<std::size_t>(std::min<std::uint64_t>(left, bufferSize)));
        crc = Crc32(crc, piece);
        left -= piece.size();
    }
    return crc;
}

namespace {

// One hash on a thread of its own: handed a piece, it hashes it while the
// caller does something else, until the caller waits for it.
class HashThread {
public:
    explicit HashThread(std::function<void(std::span<const std::uint8_t>)> hash)
        : hash_(std::move(hash)), thread_([this] { Run(); }) {}
    ~HashThread() {
        {
            const std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    void Start(std::span<const std::uint8_t> bytes) {
        {
            const std::lock_guard lock(mutex_);
            piece_ = bytes;
            busy_ = true;
        }
        changed_.notify_all();
    }
    void Wait() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !busy_; });
    }

private:
    void Run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return busy_ || stop_; });
            if (!busy_) return;
            const auto piece = piece_;
            lock.unlock();
            hash_(piece);
            lock.lock();
            busy_ = false;
            changed_.notify_all();
        }
    }

    std::function<void(std::span<const std::uint8_t>)> hash_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::span<const std::uint8_t> piece_;
    bool busy_ = false, stop_ = false;
    std::thread thread_;  // last: it runs once everything above is there
};

// Below this, handing a piece to the threads costs more than it saves.
constexpr std::size_t kThreadedPiece = 64 * 1024;

}  // namespace

// MD5 and SHA-1 are each bound by one core: with threads, the three hashes
// of a piece run side by side, and a file is hashed in the time of the
// slowest alone. The threads hash a copy of the piece, so that they go on
// while the reader uses the piece itself (a check compares it with the
// patch): they are waited for only when the next piece comes.
struct HashingInput::State {
    HashKinds kinds;
    MD5_CTX md5;
    SHA1_CTX sha1;
    std::uint32_t crc = 0;
    std::vector<std::uint8_t> copy;  // what the threads hash; before them, so that it outlives them
    bool inFlight = false;
    std::optional<HashThread> md5Thread, sha1Thread;
    bool threadless = false;  // threads could not be started: one after another
    void Md5(std::span<const std::uint8_t> bytes) { MD5Update(&md5, bytes.data(), bytes.size()); }
    void Sha1(std::span<const std::uint8_t> bytes) { SHA1Update(&sha1, bytes.data(), bytes.size()); }
    bool Threads() {
#if defined(__EMSCRIPTEN__) && !defined(__EMSCRIPTEN_PTHREADS__)
        return false;  // the page's engine runs on one thread
#else
        if (threadless || md5Thread || sha1Thread) return !threadless;
        try {
            if (kinds.md5) md5Thread.emplace([this](std::span<const std::uint8_t> b) { Md5(b); });
            if (kinds.sha1) sha1Thread.emplace([this](std::span<const std::uint8_t> b) { Sha1(b); });
        } catch (const std::system_error&) {
            md5Thread.reset();
            threadless = true;
        }
        return !threadless;
#endif
    }
    // Waits for the piece the threads hash, if any.
    void Settle() {
        if (!inFlight) return;
        if (md5Thread) md5Thread->Wait();
        if (sha1Thread) sha1Thread->Wait();
        inFlight = false;
    }
};

HashingInput::HashingInput(InputFile& file, HashKinds kinds) : file_(file), state_(std::make_unique<State>()) {
    state_->kinds = kinds;
    MD5Init(&state_->md5);
    SHA1Init(&state_->sha1);
}

HashingInput::~HashingInput() = default;

void HashingInput::Feed(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return;
    State& s = *state_;
    const HashKinds& k = s.kinds;
    s.Settle();
    // A lone hash gains nothing from a thread of its own.
    if (bytes.size() >= kThreadedPiece && k.crc + k.md5 + k.sha1 > 1 && s.Threads()) {
        s.copy.assign(bytes.begin(), bytes.end());
        if (s.md5Thread) s.md5Thread->Start(s.copy);
        if (s.sha1Thread) s.sha1Thread->Start(s.copy);
        s.inFlight = true;
        if (k.crc) s.crc = Crc32(s.crc, bytes);
    } else {
        if (k.crc) s.crc = Crc32(s.crc, bytes);
        if (k.md5) s.Md5(bytes);
        if (k.sha1) s.Sha1(bytes);
    }
    hashed_ += bytes.size();
}

void HashingInput::CatchUp(std::uint64_t to) {
    to = std::min(to, file_.Size());
    if (hashed_ >= to) return;
    piece_.resize(std::max(piece_.size(), static_cast<std::size_t>(std::min<std::uint64_t>(to - hashed_, 1 << 20))));
    while (hashed_ < to) {
        const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(piece_.size(), to - hashed_));
        file_.ReadExactly(hashed_, {piece_.data(), size});
        Feed({piece_.data(), size});
    }
}

std::size_t HashingInput::ReadAt(std::uint64_t offset, std::span<std::uint8_t> buffer) {
    CatchUp(offset);
    const std::size_t got = file_.ReadAt(offset, buffer);
    if (offset <= hashed_ && offset + got > hashed_) Feed(std::span<const std::uint8_t>(buffer.first(got)).subspan(static_cast<std::size_t>(hashed_ - offset)));
    return got;
}

FileHashes HashingInput::Finish() {
    CatchUp(file_.Size());
    state_->Settle();
    FileHashes hashes;
    hashes.size = hashed_;
    hashes.crc = state_->crc;
    if (state_->kinds.md5) MD5Final(hashes.md5.data(), &state_->md5);
    if (state_->kinds.sha1) SHA1Final(hashes.sha1.data(), &state_->sha1);
    return hashes;
}

FileHashes HashesOf(InputFile& file) {
    file.ExpectSequential();
    HashingInput hashing(file);
    return hashing.Finish();
}

std::string text::HashLines(const FileHashes& hashes) {
    return "Size:   " + CountOf(hashes.size) + "\nCRC-32: " + Crc(hashes.crc) + "\nMD5:    " + Hex(hashes.md5) + "\nSHA-1:  " + Hex(hashes.sha1);
}

}  // namespace zelk
