#include "MemoryManager.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "RoutineTable.h"

namespace {

thread_local OSErr t_memError = noErr;

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

OSErr SetMemError(OSErr err)
{
    t_memError = err;
    return err;
}

Handle AllocateHandle(Size size, bool clear)
{
    if (size < 0) {
        SetMemError(memFullErr);
        return nullptr;
    }
    auto *block = static_cast<HandleBlock *>(std::malloc(sizeof(HandleBlock)));
    // At least one byte, so that even an empty handle has a master pointer.
    Ptr data = static_cast<Ptr>(clear ? std::calloc(size ? size : 1, 1) : std::malloc(size ? size : 1));
    if (!block || !data) {
        std::free(block);
        std::free(data);
        SetMemError(memFullErr);
        return nullptr;
    }
    *block = {data, size, size, false};
    Handles().Add(block);
    SetMemError(noErr);
    return &block->master;
}

// Pointer blocks carry their size in front of the data.
constexpr size_t kPtrHeader = 8;

Ptr AllocatePtr(Size size, bool clear)
{
    if (size < 0) {
        SetMemError(memFullErr);
        return nullptr;
    }
    const size_t total = kPtrHeader + size_t(size);
    char *block = static_cast<char *>(clear ? std::calloc(total, 1) : std::malloc(total));
    if (!block) {
        SetMemError(memFullErr);
        return nullptr;
    }
    std::memcpy(block, &size, sizeof size);
    SetMemError(noErr);
    return block + kPtrHeader;
}

}  // namespace

OSErr QtsResizeHandle(Handle h, Size newSize)
{
    if (newSize < 0)
        return SetMemError(memFullErr);
    return SetMemError(Handles().With(h, [newSize](HandleBlock &block) -> OSErr {
        if (newSize <= block.capacity) {
            block.size = newSize;
            return noErr;
        }
        if (block.locked)
            return memFullErr;
        Ptr grown = static_cast<Ptr>(std::realloc(block.master, newSize));
        if (!grown)
            return memFullErr;
        block.master = grown;
        block.size = block.capacity = newSize;
        return noErr;
    }));
}

extern "C" {

Handle NewHandle(Size byteCount)
{
    return AllocateHandle(byteCount, false);
}

Handle NewHandleClear(Size byteCount)
{
    return AllocateHandle(byteCount, true);
}

void DisposeHandle(Handle h)
{
    if (!h) {
        SetMemError(noErr);
        return;
    }
    auto *block = reinterpret_cast<HandleBlock *>(h);
    if (!Handles().Remove(block)) {
        SetMemError(nilHandleErr);
        return;
    }
    std::free(block->master);
    std::free(block);
    SetMemError(noErr);
}

Size GetHandleSize(Handle h)
{
    Size size = 0;
    SetMemError(Handles().With(h, [&size](HandleBlock &block) {
        size = block.size;
        return OSErr(noErr);
    }));
    return size;
}

void SetHandleSize(Handle h, Size newSize)
{
    QtsResizeHandle(h, newSize);
}

void HLock(Handle h)
{
    SetMemError(Handles().With(h, [](HandleBlock &block) {
        block.locked = true;
        return OSErr(noErr);
    }));
}

void HUnlock(Handle h)
{
    SetMemError(Handles().With(h, [](HandleBlock &block) {
        block.locked = false;
        return OSErr(noErr);
    }));
}

// Nothing to compact here: only a locked handle is refused, as QuickTime refuses it.
void MoveHHi(Handle h)
{
    SetMemError(Handles().With(h, [](HandleBlock &block) {
        return block.locked ? OSErr(memLockedErr) : OSErr(noErr);
    }));
}

Ptr NewPtr(Size byteCount)
{
    return AllocatePtr(byteCount, false);
}

Ptr NewPtrClear(Size byteCount)
{
    return AllocatePtr(byteCount, true);
}

void DisposePtr(Ptr p)
{
    if (p)
        std::free(p - kPtrHeader);
    SetMemError(noErr);
}

Size GetPtrSize(Ptr p)
{
    if (!p) {
        SetMemError(nilHandleErr);
        return 0;
    }
    Size size = 0;
    std::memcpy(&size, p - kPtrHeader, sizeof size);
    SetMemError(noErr);
    return size;
}

void BlockMove(const void *srcPtr, void *destPtr, Size byteCount)
{
    if (srcPtr && destPtr && byteCount > 0)
        std::memmove(destPtr, srcPtr, size_t(byteCount));
    SetMemError(noErr);
}

void BlockMoveData(const void *srcPtr, void *destPtr, Size byteCount)
{
    BlockMove(srcPtr, destPtr, byteCount);
}

OSErr MemError(void)
{
    return t_memError;
}

}  // extern "C"

namespace {
const QtsRoutine kMemoryRoutines[] = {
    QTS_ROUTINE(NewHandle),   QTS_ROUTINE(NewHandleClear), QTS_ROUTINE(DisposeHandle),
    QTS_ROUTINE(GetHandleSize), QTS_ROUTINE(SetHandleSize), QTS_ROUTINE(HLock),
    QTS_ROUTINE(HUnlock),     QTS_ROUTINE(MoveHHi),        QTS_ROUTINE(NewPtr),
    QTS_ROUTINE(NewPtrClear), QTS_ROUTINE(DisposePtr),     QTS_ROUTINE(GetPtrSize),
    QTS_ROUTINE(BlockMove),   QTS_ROUTINE(BlockMoveData),  QTS_ROUTINE(MemError),
};
QTS_REGISTER_ROUTINES(kMemoryRoutines);
}  // namespace
