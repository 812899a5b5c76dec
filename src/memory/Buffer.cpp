// Memory, the growable buffer: one heap block, header first, data after it.
#include "infra/Buffer.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "infra3/core/Diagnostics.h"

namespace Tovix {
namespace Memory {

namespace {

struct BufferHeader {
    void* self;  // the block's own address, rewritten after every move
    unsigned int size;
    unsigned int capacity;
    unsigned int increasedSize;
};

BufferHeader* header(void* block) {
    return static_cast<BufferHeader*>(block);
}

unsigned char* dataOf(void* block) {
    return static_cast<unsigned char*>(block) + sizeof(BufferHeader);
}

// Whether a block of `capacity` bytes fits the buffer's 32-bit sizes and, with its header, the
// address space (a 32-bit process cannot add 16 bytes to a capacity near 4 GiB).
bool capacityFits(std::uint64_t capacity) {
    return capacity <= 0xFFFFFFFFu && capacity <= SIZE_MAX - sizeof(BufferHeader);
}

// A block of capacity `capacity`, size 0, no step; null when the memory is short.
void* newBlock(std::uint64_t capacity) {
    if (!capacityFits(capacity)) {
        return nullptr;
    }
    void* block = std::malloc(sizeof(BufferHeader) + static_cast<std::size_t>(capacity));
    if (block != nullptr) {
        *header(block) = BufferHeader{block, 0, static_cast<unsigned int>(capacity), 0};
    }
    return block;
}

// The capacity the growth rule gives for a wanted capacity w (may exceed 32 bits).
std::uint64_t grownCapacity(std::uint64_t wanted, unsigned int step) {
    if (step == 0) {
        return wanted;
    }
    return (wanted + step - 1) / step * step;
}

// Moves the buffer to a block of `capacity` bytes; false (buffer unchanged) when the memory is
// short or the capacity does not fit 32 bits.
bool moveTo(void*& block, std::uint64_t capacity) {
    if (!capacityFits(capacity)) {
        return false;
    }
    void* moved = std::realloc(block, sizeof(BufferHeader) + static_cast<std::size_t>(capacity));
    if (moved == nullptr) {
        return false;
    }
    header(moved)->self = moved;
    header(moved)->capacity = static_cast<unsigned int>(capacity);
    block = moved;
    return true;
}

}  // namespace

CBuffer::CBuffer() : m_internal(nullptr) {}

CBuffer::~CBuffer() {
    std::free(m_internal);
}

CBuffer::CBuffer(const CBuffer& other) : m_internal(nullptr) {
    *this = other;
}

CBuffer& CBuffer::operator=(const CBuffer& other) {
    if (this == &other) {
        return *this;
    }
    if (other.m_internal == nullptr) {
        reset();
        return *this;
    }
    const BufferHeader* source = header(other.m_internal);
    void* copy = newBlock(source->capacity);
    if (copy == nullptr) {
        INFRA_LOG_LEVEL(Infra::Detail::kLevelInfo, " CBuffer copy Malloc fail:\n");
        return *this;
    }
    std::memcpy(dataOf(copy), dataOf(other.m_internal), source->size);
    header(copy)->size = source->size;
    header(copy)->increasedSize = source->increasedSize;
    std::free(m_internal);
    m_internal = copy;
    return *this;
}

unsigned int CBuffer::putBuffer(unsigned char* data, unsigned int length) {
    if (data == nullptr && length > 0) {
        return 0;
    }
    if (m_internal == nullptr) {
        m_internal = newBlock(length);
        if (m_internal == nullptr) {
            INFRA_LOG_LEVEL(Infra::Detail::kLevelInfo, " CBuffer putbuffer Malloc fail:\n");
            return 0;
        }
    }
    BufferHeader* h = header(m_internal);
    if (h->capacity - h->size < length) {
        // The source may lie in this very buffer (appending it to itself): the move frees the
        // old block, so find the source again at the same offset in the new one.
        const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(dataOf(m_internal));
        const std::uintptr_t from = reinterpret_cast<std::uintptr_t>(data);
        const bool inside = from >= start && from - start < h->capacity;
        const std::uintptr_t offset = from - start;
        const std::uint64_t wanted = static_cast<std::uint64_t>(h->size) + length;
        if (!moveTo(m_internal, grownCapacity(wanted, h->increasedSize))) {
            INFRA_LOG_LEVEL(Infra::Detail::kLevelInfo, "CBuffer putbuffer ReMalloc fail:\n");
            return 0;
        }
        h = header(m_internal);
        if (inside) {
            data = dataOf(m_internal) + offset;
        }
    }
    if (length > 0) {
        std::memcpy(dataOf(m_internal) + h->size, data, length);
    }
    h->size += length;
    return length;
}

unsigned char* CBuffer::getBuffer() const {
    if (m_internal == nullptr || header(m_internal)->size == 0) {
        return nullptr;
    }
    return dataOf(m_internal);
}

unsigned int CBuffer::size() const {
    return m_internal != nullptr ? header(m_internal)->size : 0;
}

unsigned int CBuffer::capacity() const {
    return m_internal != nullptr ? header(m_internal)->capacity : 0;
}

void CBuffer::resize(unsigned int n) {
    if (m_internal == nullptr) {
        m_internal = newBlock(n);
        if (m_internal == nullptr) {
            INFRA_LOG_LEVEL(Infra::Detail::kLevelInfo, " CBuffer resize Malloc fail:\n");
            return;
        }
    }
    BufferHeader* h = header(m_internal);
    if (h->capacity < n) {
        if (!moveTo(m_internal, grownCapacity(n, h->increasedSize))) {
            INFRA_LOG_LEVEL(Infra::Detail::kLevelInfo, " CBuffer resize ReMalloc fail:\n");
            return;
        }
        h = header(m_internal);
    }
    h->size = n;
}

void CBuffer::reserve(unsigned int n) {
    if (m_internal == nullptr) {
        m_internal = newBlock(n);
        if (m_internal == nullptr) {
            INFRA_LOG_LEVEL(Infra::Detail::kLevelInfo, " CBuffer reserve Malloc fail:\n");
        }
        return;
    }
    if (header(m_internal)->capacity < n && !moveTo(m_internal, n)) {
        INFRA_LOG_LEVEL(Infra::Detail::kLevelInfo, " CBuffer reserve Malloc fail:\n");
    }
}

void CBuffer::reset() {
    std::free(m_internal);
    m_internal = nullptr;
}

void CBuffer::setIncreasedSize(unsigned int step) {
    if (m_internal == nullptr) {
        m_internal = newBlock(step);
        if (m_internal == nullptr) {
            INFRA_LOG_LEVEL(Infra::Detail::kLevelInfo, " CBuffer setIncreasedSize Malloc fail:\n");
            return;
        }
    }
    header(m_internal)->increasedSize = step;
}

}  // namespace Memory
}  // namespace Tovix
