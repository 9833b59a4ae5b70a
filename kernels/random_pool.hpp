// Random bytes from the system's source (getrandom(2)), read a page at a time and handed out a
// few at a call, so that a call costs no system call.
//
// No byte is handed out twice: each is wiped as it leaves the pool, and a forked child never
// takes over the parent's bytes. The kernel wipes the pool's page in the child (MADV_WIPEONFORK),
// an at-fork handler wipes it too, and where the kernel cannot wipe it, every take checks that
// the process is still the one that filled the pool.
//
// Not synchronised: its callers hold a lock (the interpreter lock) around every take.
#pragma once

#include <sys/mman.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <pthread.h>

namespace norvale::kernels {

class RandomPool {
public:
    // `count` (1 to 8) bytes as a big-endian number; false when the system's source fails.
    bool take(std::size_t count, std::uint64_t &value) noexcept {
        if (!page_ && !set_up()) return false;
        if (!wiped_on_fork_ && page_->owner != getpid()) wipe();
        if (page_->left < count && !refill()) return false;
        unsigned char *at = page_->bytes + (capacity - page_->left);
        value = 0;
        for (std::size_t i = 0; i < count; ++i) value = (value << 8) | at[i];
        std::memset(at, 0, count);
        page_->left -= std::uint32_t(count);
        return true;
    }

    // Forgets every byte the pool holds; the next take reads the source again.
    void wipe() noexcept {
        if (page_) std::memset(static_cast<void *>(page_), 0, sizeof *page_);
    }

private:
    static constexpr std::size_t page_bytes = 4096;
    struct Page {
        std::uint32_t left;  // bytes not yet handed out, at the end of `bytes`
        pid_t owner;         // the process that filled it (checked where the kernel cannot wipe)
        unsigned char bytes[page_bytes - 8];
    };
    static_assert(sizeof(Page) == page_bytes);
    static constexpr std::size_t capacity = sizeof(Page::bytes);

    Page *page_ = nullptr;
    bool wiped_on_fork_ = false;

    static RandomPool *&registered() noexcept {
        static RandomPool *pool = nullptr;
        return pool;
    }

    bool set_up() noexcept {
        void *memory = mmap(nullptr, page_bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) return false;
#if defined(MADV_WIPEONFORK)
        wiped_on_fork_ = madvise(memory, page_bytes, MADV_WIPEONFORK) == 0;
#endif
        if (!registered()) {
            registered() = this;
            pthread_atfork(nullptr, nullptr, [] { registered()->wipe(); });
        }
        page_ = static_cast<Page *>(memory);  // zero-filled: empty
        return true;
    }

    bool refill() noexcept {
        std::size_t got = 0;
        while (got < capacity) {
            const ssize_t n = getrandom(page_->bytes + got, capacity - got, 0);
            if (n < 0) {
                if (errno == EINTR) continue;
                wipe();
                return false;
            }
            got += std::size_t(n);
        }
        page_->left = std::uint32_t(capacity);
        page_->owner = getpid();
        return true;
    }
};

}  // namespace norvale::kernels
