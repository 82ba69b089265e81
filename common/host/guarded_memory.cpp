// Guarded device memory of the host execution layer (see guarded_memory.h).
//
// A buffer of n bytes is laid out in one private anonymous mapping:
//
//   | guard pages | head slack | buffer: n bytes | tail slack | guard pages |
//                 ^ its own pages, 256-byte aligned at both ends of buffer + tail slack
//
// The guard pages stay PROT_NONE for the buffer's life; its own pages are PROT_NONE too but
// for the layer's own copies, memsets and launches. The tail slack is the < 256 bytes that
// round n up to the 256-byte alignment; the head slack fills the first page up to the buffer.

#include "guarded_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace host_layer {
namespace {

constexpr std::size_t alignment = 256;
// Guard pages on each side: an overrun of up to 64 KiB (with 4 KiB pages) faults.
constexpr std::size_t guard_pages = 16;
// Buffers of this size or more ask for transparent huge pages: opening and closing them then
// changes one entry per 2 MiB instead of one per page, which is what keeps the cost of the
// protection small beside copies and launches of tens of megabytes.
constexpr std::size_t huge_page_bytes = std::size_t{2} << 20;
// Fresh device memory holds this byte, so a missing zeroing shows up as NaN.
constexpr unsigned char device_poison = 0xFF;

struct block {
    unsigned char* mapping;  // guard pages, the buffer's pages, guard pages
    std::size_t mapping_bytes;
    unsigned char* pages;  // the buffer's own pages
    std::size_t page_bytes;
    unsigned char* buffer;
    std::size_t bytes;
};

std::size_t page_size()
{
    static const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

// Live buffers, by the address of their mapping.
std::map<std::uintptr_t, block>& blocks()
{
    static std::map<std::uintptr_t, block> live;
    return live;
}

// The block whose mapping holds `p`, or null.
block* find_block(const void* p)
{
    const auto address = reinterpret_cast<std::uintptr_t>(p);
    auto& live = blocks();
    auto it = live.upper_bound(address);
    if (it == live.begin()) {
        return nullptr;
    }
    --it;
    return address - it->first < it->second.mapping_bytes ? &it->second : nullptr;
}

// Page protection cannot fail here but for want of kernel memory for the mapping's records.
// Carrying on would leave device memory open to host code, or closed to the layer itself.
void protect(unsigned char* pages, std::size_t bytes, int protection)
{
    if (mprotect(pages, bytes, protection) != 0) {
        std::perror("host execution layer: protecting device memory");
        std::abort();
    }
}

// The canary byte at `address`. Each aligned 4-byte word of slack has its top 12 bits set, so
// it reads as NaN both as a float and as the upper half of a double, and the rest depends on
// the word's address, so that a value a kernel copies from one buffer's slack into another's
// still changes the canary there.
unsigned char canary(std::uintptr_t address)
{
    const std::uint64_t mixed = (address >> 2) * 0x9E3779B97F4A7C15ull;
    const std::uint32_t word = 0xFFF00000u | static_cast<std::uint32_t>(mixed >> 44);
    return static_cast<unsigned char>(word >> (8 * (address & 3)));
}

struct byte_range {
    unsigned char* first;
    unsigned char* last;
};

// The head slack and the tail slack of `b`.
std::array<byte_range, 2> slack_of(const block& b)
{
    return {byte_range{b.pages, b.buffer}, byte_range{b.buffer + b.bytes, b.pages + b.page_bytes}};
}

// Under AddressSanitizer the slack is poisoned as well, so that instrumented code (kernels,
// tests) is reported at any access to it, a read included, as a GPU's memory checker reports
// it. The layer's own canary work is uninstrumented.
void poison_slack([[maybe_unused]] const block& b, [[maybe_unused]] bool poisoned)
{
#if defined(__SANITIZE_ADDRESS__)
    for (const byte_range& r : slack_of(b)) {
        if (poisoned) {
            ASAN_POISON_MEMORY_REGION(r.first, static_cast<std::size_t>(r.last - r.first));
        } else {
            ASAN_UNPOISON_MEMORY_REGION(r.first, static_cast<std::size_t>(r.last - r.first));
        }
    }
#endif
}

[[gnu::no_sanitize_address]] void write_canaries(const block& b)
{
    for (const byte_range& r : slack_of(b)) {
        for (unsigned char* p = r.first; p != r.last; ++p) {
            *p = canary(reinterpret_cast<std::uintptr_t>(p));
        }
    }
}

[[gnu::no_sanitize_address]] bool canaries_intact(const block& b)
{
    bool intact = true;
    for (const byte_range& r : slack_of(b)) {
        for (const unsigned char* p = r.first; p != r.last; ++p) {
            intact = intact && *p == canary(reinterpret_cast<std::uintptr_t>(p));
        }
    }
    return intact;
}

}  // namespace

void* guarded_allocate(std::size_t bytes)
{
    if (bytes == 0 || bytes > SIZE_MAX / 4) {
        return nullptr;
    }
    const std::size_t guard = guard_pages * page_size();
    const std::size_t rounded = round_up(bytes, alignment);
    block b{};
    b.bytes = bytes;
    b.page_bytes = round_up(rounded, page_size());
    const bool huge = b.page_bytes >= huge_page_bytes;
    // A large buffer gets a huge page's worth of room more, so that its pages can end on a huge
    // page boundary: a size in whole huge pages is then all huge pages.
    b.mapping_bytes = b.page_bytes + 2 * guard + (huge ? huge_page_bytes : 0);
    void* mapping = mmap(nullptr, b.mapping_bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) {
        return nullptr;
    }
    b.mapping = static_cast<unsigned char*>(mapping);
    b.pages = b.mapping + guard;
    if (huge) {
        const auto end = reinterpret_cast<std::uintptr_t>(b.pages + b.page_bytes);
        b.pages += round_up(end, huge_page_bytes) - end;
    }
    b.buffer = b.pages + b.page_bytes - rounded;
    if (huge) {
        madvise(b.pages, b.page_bytes, MADV_HUGEPAGE);  // a request: without it, only slower
    }
    // Making the pages writable is when the system commits memory to them; it may refuse.
    if (mprotect(b.pages, b.page_bytes, PROT_READ | PROT_WRITE) != 0) {
        munmap(mapping, b.mapping_bytes);
        return nullptr;
    }
    std::memset(b.buffer, device_poison, bytes);
    write_canaries(b);
    poison_slack(b, true);
    protect(b.pages, b.page_bytes, PROT_NONE);
    blocks().emplace(reinterpret_cast<std::uintptr_t>(b.mapping), b);
    return b.buffer;
}

void guarded_release(void* buffer)
{
    const block* b = find_block(buffer);
    if (b == nullptr) {
        return;
    }
    poison_slack(*b, false);  // the addresses may be mapped again, for anything
    munmap(b->mapping, b->mapping_bytes);
    blocks().erase(reinterpret_cast<std::uintptr_t>(b->mapping));
}

bool touches_device_pages(const void* p, std::size_t bytes)
{
    const auto first = reinterpret_cast<std::uintptr_t>(p);
    const std::size_t extent = bytes == 0 ? 1 : bytes;
    const std::uintptr_t end = extent > UINTPTR_MAX - first ? UINTPTR_MAX : first + extent;
    auto& live = blocks();
    auto it = live.lower_bound(end);
    if (it == live.begin()) {
        return false;
    }
    --it;  // the last mapping that starts before the range ends
    return it->first + it->second.mapping_bytes > first;
}

device_buffer_access::device_buffer_access(const void* p, bool writable) : p_(p)
{
    if (const block* b = p_ != nullptr ? find_block(p_) : nullptr) {
        protect(b->pages, b->page_bytes, writable ? PROT_READ | PROT_WRITE : PROT_READ);
    }
}

device_buffer_access::~device_buffer_access()
{
    if (const block* b = p_ != nullptr ? find_block(p_) : nullptr) {
        protect(b->pages, b->page_bytes, PROT_NONE);
    }
}

device_memory_access::device_memory_access()
{
    for (auto& entry : blocks()) {
        protect(entry.second.pages, entry.second.page_bytes, PROT_READ | PROT_WRITE);
    }
}

device_memory_access::~device_memory_access()
{
    if (open_) {
        for (auto& entry : blocks()) {
            protect(entry.second.pages, entry.second.page_bytes, PROT_NONE);
        }
    }
}

cudaError_t device_memory_access::close(cudaError_t status)
{
    bool overrun = false;
    for (auto& entry : blocks()) {
        const block& b = entry.second;
        if (!canaries_intact(b)) {
            overrun = true;
            write_canaries(b);
        }
        protect(b.pages, b.page_bytes, PROT_NONE);
    }
    open_ = false;
    return overrun ? cudaErrorIllegalAddress : status;
}

}  // namespace host_layer
