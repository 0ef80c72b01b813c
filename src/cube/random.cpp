#include "cube/random.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <system_error>

#include "base/fault.hpp"
#include "base/fork.hpp"

namespace turnsmith {
namespace {

// Bumped in the child of every fork. A forked child starts with copies of the
// parent's thread generators; without a new key it would replay the very
// draws the parent makes next. thread_rng() compares this with the generation
// its generator was keyed in (one relaxed load per call) and rekeys on change.
std::atomic<std::uint64_t> fork_generation{0};

void after_fork_in_child() noexcept { fork_generation.fetch_add(1, std::memory_order_relaxed); }

[[maybe_unused]] const bool fork_handler_registered =
    on_fork(ForkStage::generators, {.in_child = after_fork_in_child});

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

int read_dev_urandom(std::span<std::byte> out) noexcept {
    const FileDescriptor file(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) return errno;
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t got = ::read(file.get(), out.data() + done, out.size() - done);
        if (got > 0) {
            done += static_cast<std::size_t>(got);
        } else if (got == 0) {
            return EIO;
        } else if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

std::string describe_os_error(int code) {
    return std::system_category().message(code) + " (os error " + std::to_string(code) + ")";
}

ChaChaKey key_from(ThreadRng::KeySource source, std::string_view fault_prefix) {
    ChaChaKey key;
    if (const int code = source(key); code != 0) {
        internal_fault(std::string(fault_prefix) + describe_os_error(code));
    }
    return key;
}

constexpr std::string_view init_failure = "could not initialize ThreadRng: ";
constexpr std::string_view reseed_failure = "could not reseed ThreadRng: ";

}  // namespace

int os_random_bytes(std::span<std::byte> out) noexcept {
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t got = ::getrandom(out.data() + done, out.size() - done, 0);
        if (got > 0) {
            done += static_cast<std::size_t>(got);
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        // ENOSYS: a kernel older than the call. EPERM: a seccomp sandbox that
        // blocks it. Either way the device still works.
        if (got < 0 && (errno == ENOSYS || errno == EPERM)) {
            return read_dev_urandom(out.subspan(done));
        }
        return got < 0 ? errno : EIO;
    }
    return 0;
}

ThreadRng::ThreadRng(KeySource source)
    : source_(source),
      fork_generation_(fork_generation.load(std::memory_order_relaxed)),
      core_(key_from(source, init_failure)) {}

void ThreadRng::reseed() {
    // The generation is taken first and stored last: when rekeying after a
    // fork fails, the generator stays marked stale and the next use retries.
    const std::uint64_t generation = fork_generation.load(std::memory_order_relaxed);
    core_ = Core(key_from(source_, reseed_failure));
    fork_generation_ = generation;
    bytes_since_key_ = 0;
    ++reseeds_;
}

void ThreadRng::before_refill() {
    if (bytes_since_key_ >= reseed_after_bytes) reseed();
    bytes_since_key_ += Core::buffer_bytes;
}

ThreadRng& thread_rng() {
    thread_local ThreadRng rng;
    if (rng.fork_generation_ != fork_generation.load(std::memory_order_relaxed)) [[unlikely]] {
        rng.reseed();
    }
    return rng;
}

PieceRng seed_piece_rng(ThreadRng& thread) {
    ChaChaKey key;
    thread.fill_bytes(key);
    return PieceRng(key);
}

}  // namespace turnsmith
