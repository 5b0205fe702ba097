#pragma once
// Bytes handed to the code under test so that AddressSanitizer reports any
// read outside them.
//
// Exact: a heap allocation of exactly their size, so a read at or beyond the
// end is a report (and, once it is gone, a read of it). An empty range is the
// address right after a live one-byte allocation: ASan makes a zero-byte
// allocation one byte long, so that would leave data[0] readable.
//
// Slices: the same for many short reads of one input, without an allocation
// each (the allocator would cost more than the code under test): each slice
// is copied to an 8-aligned place of a poisoned arena and only its own bytes
// are unpoisoned while it is fed, so a read before it, past its end (the last
// shadow granule is exact) or of an earlier slice is a report, as with one
// allocation per slice; places are not reused until the arena wraps.

#include <sanitizer/asan_interface.h>

#include <cstddef>
#include <cstring>
#include <memory>

namespace fuzz {

class Exact {
public:
    Exact(const unsigned char* src, size_t n) : buf(new unsigned char[n > 0 ? n : 1]), size(n) {
        if (n > 0) std::memcpy(buf.get(), src, n);
    }
    unsigned char* data() const { return size > 0 ? buf.get() : buf.get() + 1; }
    size_t len() const { return size; }

private:
    std::unique_ptr<unsigned char[]> buf;
    size_t size;
};

class Slices {
public:
    static constexpr size_t kArena = 1 << 16;

    Slices() : arena(static_cast<unsigned char*>(::operator new(kArena, std::align_val_t{8}))) {
        ASAN_POISON_MEMORY_REGION(arena, kArena);
    }
    ~Slices() {
        ASAN_UNPOISON_MEMORY_REGION(arena, kArena);
        ::operator delete(arena, std::align_val_t{8});
    }
    Slices(const Slices&) = delete;
    Slices& operator=(const Slices&) = delete;

    // The slice's place, valid (and addressable) until the next call.
    const unsigned char* place(const unsigned char* src, size_t n) {
        if (cur) ASAN_POISON_MEMORY_REGION(cur, cur_n);
        // At least one poisoned granule between slices.
        if (next + n + 8 > kArena) next = 0;
        cur = arena + next;
        cur_n = n;
        ASAN_UNPOISON_MEMORY_REGION(cur, n);
        if (n > 0) std::memcpy(cur, src, n);
        next = (next + n + 8 + 7) & ~static_cast<size_t>(7);
        return cur;
    }
    // No slice addressable any more.
    void done() {
        if (cur) ASAN_POISON_MEMORY_REGION(cur, cur_n);
        cur = nullptr;
    }

private:
    unsigned char* arena;
    unsigned char* cur = nullptr;
    size_t cur_n = 0;
    size_t next = 0;
};

}  // namespace fuzz
