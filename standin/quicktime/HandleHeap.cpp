#include "HandleHeap.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_set>

namespace {

// The handle is the address of `master`, the first member.
struct HandleBlock {
    Ptr master;
    Size size;
    Size capacity;
    bool locked;
};
static_assert(offsetof(HandleBlock, master) == 0, "a handle points at its master pointer");

class HandleTable {
public:
    void Add(HandleBlock *block)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_live.insert(block);
    }
    bool Remove(HandleBlock *block)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_live.erase(block) == 1;
    }
    // Runs `operation` on the block under the table lock; nilHandleErr when not live.
    template <typename Operation>
    OSErr With(Handle h, Operation operation)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        const auto found = m_live.find(reinterpret_cast<HandleBlock *>(h));
        if (!h || found == m_live.end())
            return nilHandleErr;
        return operation(**found);
    }

private:
    std::mutex m_lock;
    std::unordered_set<HandleBlock *> m_live;
};

HandleTable &Handles()
{
    static HandleTable table;
    return table;
}

// Pointer blocks carry their size in front of the data.
constexpr size_t kPtrHeader = 8;

}  // namespace

Handle QtsNewHandle(Size byteCount, bool clear, OSErr *err)
{
    *err = memFullErr;
    if (byteCount < 0)
        return nullptr;
    auto *block = static_cast<HandleBlock *>(std::malloc(sizeof(HandleBlock)));
    // At least one byte, so that even an empty handle has a master pointer.
    const size_t bytes = byteCount ? size_t(byteCount) : 1;
    Ptr data = static_cast<Ptr>(clear ? std::calloc(bytes, 1) : std::malloc(bytes));
    if (!block || !data) {
        std::free(block);
        std::free(data);
        return nullptr;
    }
    *block = {data, byteCount, byteCount, false};
    Handles().Add(block);
    *err = noErr;
    return &block->master;
}

OSErr QtsDisposeHandle(Handle h)
{
    if (!h)
        return noErr;
    auto *block = reinterpret_cast<HandleBlock *>(h);
    if (!Handles().Remove(block))
        return nilHandleErr;
    std::free(block->master);
    std::free(block);
    return noErr;
}

OSErr QtsGetHandleSize(Handle h, Size *size)
{
    *size = 0;
    return Handles().With(h, [size](HandleBlock &block) {
        *size = block.size;
        return OSErr(noErr);
    });
}

OSErr QtsResizeHandle(Handle h, Size newSize)
{
    if (newSize < 0)
        return memFullErr;
    return Handles().With(h, [newSize](HandleBlock &block) -> OSErr {
        if (newSize <= block.capacity) {
            block.size = newSize;
            return noErr;
        }
        if (block.locked)
            return memFullErr;
        Ptr grown = static_cast<Ptr>(std::realloc(block.master, size_t(newSize)));
        if (!grown)
            return memFullErr;
        block.master = grown;
        block.size = block.capacity = newSize;
        return noErr;
    });
}

OSErr QtsSetHandleLocked(Handle h, bool locked)
{
    return Handles().With(h, [locked](HandleBlock &block) {
        block.locked = locked;
        return OSErr(noErr);
    });
}

// Nothing to compact here: only a locked handle is refused, as QuickTime refuses it.
OSErr QtsMoveHandleHigh(Handle h)
{
    return Handles().With(h, [](HandleBlock &block) {
        return block.locked ? OSErr(memLockedErr) : OSErr(noErr);
    });
}

Ptr QtsNewPtr(Size byteCount, bool clear, OSErr *err)
{
    *err = memFullErr;
    if (byteCount < 0)
        return nullptr;
    const size_t total = kPtrHeader + size_t(byteCount);
    char *block = static_cast<char *>(clear ? std::calloc(total, 1) : std::malloc(total));
    if (!block)
        return nullptr;
    std::memcpy(block, &byteCount, sizeof byteCount);
    *err = noErr;
    return block + kPtrHeader;
}

void QtsDisposePtr(Ptr p)
{
    if (p)
        std::free(p - kPtrHeader);
}

OSErr QtsGetPtrSize(Ptr p, Size *size)
{
    *size = 0;
    if (!p)
        return nilHandleErr;
    std::memcpy(size, p - kPtrHeader, sizeof *size);
    return noErr;
}
