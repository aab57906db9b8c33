#include "globalmem.h"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>

namespace {

// Picture buffers run to hundreds of megabytes and are written once from start to end.
// In 4 KiB pages every page costs the kernel a fault on first touch (over ten thousand
// for one 15-megapixel picture, a third of the time a JPEG takes to decode); in 2 MiB
// pages there are a few dozen. Large blocks are therefore aligned to 2 MiB and offered
// to the kernel for transparent huge pages (a no-op where they are switched off).
constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kHugeBlock = size_t{8} << 20;

void* allocateData(unsigned flags, size_t bytes) {
    if (bytes >= kHugeBlock) {
        const size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        void* data = std::aligned_alloc(kHugePage, rounded);
        if (data) {
            (void)::madvise(data, rounded, MADV_HUGEPAGE);
            if (flags & GMEM_ZEROINIT) {
                std::memset(data, 0, bytes);
            }
            return data;
        }
    }
    // Zero-byte blocks are legal; give them one byte so the address is unique.
    return (flags & GMEM_ZEROINIT) ? std::calloc(bytes ? bytes : 1, 1)
                                   : std::malloc(bytes ? bytes : 1);
}

struct Block {
    void* data = nullptr;
    size_t size = 0;
    unsigned lockCount = 0;
};

// Live blocks by handle and by address. A handle is the address of its Block record,
// so only values this registry handed out are ever dereferenced.
class Registry {
public:
    static Registry& instance() {
        static Registry registry;
        return registry;
    }

    HGLOBAL allocate(unsigned flags, size_t bytes) {
        void* data = allocateData(flags, bytes);
        if (!data) {
            return nullptr;
        }
        auto* block = new (std::nothrow) Block{data, bytes, 0};
        if (!block) {
            std::free(data);
            return nullptr;
        }
        std::lock_guard lock(m_mutex);
        try {
            m_blocks.emplace(block, block);
            m_byAddress.emplace(data, block);
        } catch (...) {
            m_blocks.erase(block);
            std::free(data);
            delete block;
            return nullptr;
        }
        return block;
    }

    void* lock(HGLOBAL handle) {
        std::lock_guard lock(m_mutex);
        Block* block = find(handle);
        if (!block) {
            return nullptr;
        }
        ++block->lockCount;
        return block->data;
    }

    int unlock(HGLOBAL handle) {
        std::lock_guard lock(m_mutex);
        Block* block = find(handle);
        if (!block || block->lockCount == 0) {
            return 0;
        }
        --block->lockCount;
        return block->lockCount != 0;
    }

    HGLOBAL free(HGLOBAL handle) {
        Block* block = nullptr;
        {
            std::lock_guard lock(m_mutex);
            block = find(handle);
            if (!block) {
                return handle;
            }
            m_blocks.erase(block);
            m_byAddress.erase(block->data);
        }
        std::free(block->data);
        delete block;
        return nullptr;
    }

    size_t size(HGLOBAL handle) {
        std::lock_guard lock(m_mutex);
        Block* block = find(handle);
        return block ? block->size : 0;
    }

    HGLOBAL handleOf(const void* pointer) {
        std::lock_guard lock(m_mutex);
        auto it = m_byAddress.find(pointer);
        return it == m_byAddress.end() ? nullptr : it->second;
    }

private:
    Block* find(HGLOBAL handle) {
        auto it = m_blocks.find(handle);
        return it == m_blocks.end() ? nullptr : it->second;
    }

    std::mutex m_mutex;
    std::unordered_map<const void*, Block*> m_blocks;
    std::unordered_map<const void*, Block*> m_byAddress;
};

}  // namespace

extern "C" {

HGLOBAL GlobalAlloc(unsigned int flags, size_t bytes) {
    return Registry::instance().allocate(flags, bytes);
}

void* GlobalLock(HGLOBAL handle) {
    return Registry::instance().lock(handle);
}

int GlobalUnlock(HGLOBAL handle) {
    return Registry::instance().unlock(handle);
}

HGLOBAL GlobalFree(HGLOBAL handle) {
    return Registry::instance().free(handle);
}

size_t GlobalSize(HGLOBAL handle) {
    return Registry::instance().size(handle);
}

HGLOBAL GlobalHandle(const void* pointer) {
    return Registry::instance().handleOf(pointer);
}

}  // extern "C"
